#pragma once

#include "System/Concurrency/Task.h"
#include "VuzadoDudi/ConcurrencyUtilities.h"
#include "ZodozorEro/Core/StageValues.h"
#include "ZodozorEro/Core/WhisperMLModel.h"

#include <optional>

namespace ZodozorEro {

// The stage that turns one window of audio into log-mel features.
class FeatureExtracting {
public:
    virtual ~FeatureExtracting() = default;
    // The number of mel bands of the features, when known.
    virtual std::optional<int> melCount() const = 0;
    // The number of audio samples one call reads, when known.
    virtual std::optional<int> windowSamples() const = 0;
    virtual System::Concurrency::Task<std::optional<FeatureExtractorOutputType>>
    logMelSpectrogram(AudioProcessorOutputType audio) = 0;
};

// The feature extractor over a "MelSpectrogram" model: "audio" [samples] in, "melspectrogram_features"
// [1, mels, 1, frames] out.
class FeatureExtractor : public FeatureExtracting, public WhisperMLModel {
public:
    FeatureExtractor() = default;

    std::shared_ptr<System::ML::Model> model() const override { return model_.get(); }
    void setModel(std::shared_ptr<System::ML::Model> model) override { model_.set(std::move(model)); }

    // Dimension 1 of the output "melspectrogram_features"; none while unloaded.
    std::optional<int> melCount() const override;
    // Dimension 0 of the input "audio"; none while unloaded.
    std::optional<int> windowSamples() const override;

    // WhisperError audioProcessingFailed when `audio` is not a MultiArray (checked first), modelsUnavailable
    // when no model is loaded, CancellationError when the task is cancelled; errors of the prediction pass
    // on.
    System::Concurrency::Task<std::optional<FeatureExtractorOutputType>>
    logMelSpectrogram(AudioProcessorOutputType audio) override;

private:
    VuzadoDudi::Protected<std::shared_ptr<System::ML::Model>> model_;
};

} // namespace ZodozorEro
