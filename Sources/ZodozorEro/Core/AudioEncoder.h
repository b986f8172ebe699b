#pragma once

#include "System/Concurrency/Task.h"
#include "System/ML/MultiArray.h"
#include "VuzadoDudi/ConcurrencyUtilities.h"
#include "ZodozorEro/Core/StageValues.h"
#include "ZodozorEro/Core/WhisperMLModel.h"

#include <optional>

namespace ZodozorEro {

// The stage that turns log-mel features into the embeddings the decoder attends to.
class AudioEncoding {
public:
    virtual ~AudioEncoding() = default;
    // The width of one embedding, when known.
    virtual std::optional<int> embedSize() const = 0;
    virtual System::Concurrency::Task<std::optional<AudioEncoderOutputType>>
    encodeFeatures(FeatureExtractorOutputType features) = 0;
};

// The audio encoder over an "AudioEncoder" model: "melspectrogram_features" in, "encoder_output_embeds"
// [1, width, 1, positions] out.
class AudioEncoder : public AudioEncoding, public WhisperMLModel {
public:
    AudioEncoder() = default;

    std::shared_ptr<System::ML::Model> model() const override { return model_.get(); }
    void setModel(std::shared_ptr<System::ML::Model> model) override { model_.set(std::move(model)); }

    // Dimensions 1 and 3 of the output "encoder_output_embeds"; none while unloaded.
    std::optional<int> embedSize() const override;
    virtual std::optional<int> sequenceLength() const;

    // WhisperError audioProcessingFailed when `features` is not a MultiArray, before anything else.
    System::Concurrency::Task<std::optional<AudioEncoderOutputType>>
    encodeFeatures(FeatureExtractorOutputType features) override;
    // WhisperError modelsUnavailable when no model is loaded, CancellationError when the task is cancelled;
    // errors of the prediction pass on.
    virtual System::Concurrency::Task<std::optional<System::ML::MultiArray>>
    encodeFeatures(System::ML::MultiArray features);

private:
    VuzadoDudi::Protected<std::shared_ptr<System::ML::Model>> model_;
};

} // namespace ZodozorEro
