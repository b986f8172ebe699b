#pragma once

// The feature providers through which the three models of the pipeline receive their inputs and hand back
// their outputs. The feature names are the wire contract with the model folders.

#include "System/ML/FeatureProvider.h"
#include "System/ML/MultiArray.h"
#include "System/ML/Tensor.h"

#include <memory>
#include <optional>

namespace ZodozorEro {

class MelSpectrogramInput final : public System::ML::FeatureProvider {
public:
    explicit MelSpectrogramInput(System::ML::MultiArray audio)
        : audio(std::move(audio)) {}
    explicit MelSpectrogramInput(const System::ML::Tensor& audio)
        : audio(audio.shapedArray()) {}

    std::set<std::string> featureNames() const override;
    std::optional<System::ML::FeatureValue> featureValue(const std::string& name) const override;

    System::ML::MultiArray audio;
};

class AudioEncoderInput final : public System::ML::FeatureProvider {
public:
    explicit AudioEncoderInput(System::ML::MultiArray melspectrogram_features)
        : melspectrogram_features(std::move(melspectrogram_features)) {}
    explicit AudioEncoderInput(const System::ML::Tensor& melspectrogram_features)
        : melspectrogram_features(melspectrogram_features.shapedArray()) {}

    std::set<std::string> featureNames() const override;
    std::optional<System::ML::FeatureValue> featureValue(const std::string& name) const override;

    System::ML::MultiArray melspectrogram_features;
};

class TextDecoderInput final : public System::ML::FeatureProvider {
public:
    TextDecoderInput(System::ML::MultiArray input_ids, System::ML::MultiArray cache_length,
                     System::ML::MultiArray key_cache, System::ML::MultiArray value_cache,
                     System::ML::MultiArray kv_cache_update_mask,
                     System::ML::MultiArray encoder_output_embeds,
                     System::ML::MultiArray decoder_key_padding_mask);
    // From shaped arrays: input_ids and cache_length of int32, the others of floats.
    TextDecoderInput(const System::ML::Tensor& input_ids, const System::ML::Tensor& cache_length,
                     const System::ML::Tensor& key_cache, const System::ML::Tensor& value_cache,
                     const System::ML::Tensor& kv_cache_update_mask,
                     const System::ML::Tensor& encoder_output_embeds,
                     const System::ML::Tensor& decoder_key_padding_mask);

    std::set<std::string> featureNames() const override;
    std::optional<System::ML::FeatureValue> featureValue(const std::string& name) const override;

    System::ML::MultiArray input_ids;
    System::ML::MultiArray cache_length;
    System::ML::MultiArray key_cache;
    System::ML::MultiArray value_cache;
    System::ML::MultiArray kv_cache_update_mask;
    System::ML::MultiArray encoder_output_embeds;
    System::ML::MultiArray decoder_key_padding_mask;
};

// The output providers keep the model's result provider and read from it. A typed accessor of a feature the
// result lacks (or holds as something other than an array) throws WhisperError transcriptionFailed; the
// "ShapedArray" twins give the same array as a tensor of 16-bit floats.

class MelSpectrogramOutput final : public System::ML::FeatureProvider {
public:
    explicit MelSpectrogramOutput(std::shared_ptr<const System::ML::FeatureProvider> features)
        : provider(std::move(features)) {}
    explicit MelSpectrogramOutput(System::ML::MultiArray melspectrogram_features);

    std::set<std::string> featureNames() const override { return provider->featureNames(); }
    std::optional<System::ML::FeatureValue> featureValue(const std::string& name) const override {
        return provider->featureValue(name);
    }

    System::ML::MultiArray melspectrogramFeatures() const;
    System::ML::Tensor melspectrogram_featuresShapedArray() const;

    const std::shared_ptr<const System::ML::FeatureProvider> provider;
};

class AudioEncoderOutput final : public System::ML::FeatureProvider {
public:
    explicit AudioEncoderOutput(std::shared_ptr<const System::ML::FeatureProvider> features)
        : provider(std::move(features)) {}
    explicit AudioEncoderOutput(System::ML::MultiArray encoder_output_embeds);

    std::set<std::string> featureNames() const override { return provider->featureNames(); }
    std::optional<System::ML::FeatureValue> featureValue(const std::string& name) const override {
        return provider->featureValue(name);
    }

    System::ML::MultiArray encoder_output_embeds() const;
    System::ML::Tensor encoder_output_embedsShapedArray() const;

    const std::shared_ptr<const System::ML::FeatureProvider> provider;
};

class TextDecoderOutput final : public System::ML::FeatureProvider {
public:
    explicit TextDecoderOutput(std::shared_ptr<const System::ML::FeatureProvider> features)
        : provider(std::move(features)) {}
    // The provider holds exactly "logits", "key_cache_updates" and "value_cache_updates"; `logits_varevo` is
    // accepted and left out.
    TextDecoderOutput(System::ML::MultiArray logits, System::ML::MultiArray key_cache_updates,
                      System::ML::MultiArray value_cache_updates, System::ML::MultiArray logits_varevo);

    std::set<std::string> featureNames() const override { return provider->featureNames(); }
    std::optional<System::ML::FeatureValue> featureValue(const std::string& name) const override {
        return provider->featureValue(name);
    }

    System::ML::MultiArray logits() const;
    System::ML::MultiArray key_cache_updates() const;
    System::ML::MultiArray value_cache_updates() const;
    // None when the model has no such output.
    std::optional<System::ML::MultiArray> alignment_heads_weights() const;

    System::ML::Tensor logitsShapedArray() const;
    System::ML::Tensor key_cache_updatesShapedArray() const;
    System::ML::Tensor value_cache_updatesShapedArray() const;
    std::optional<System::ML::Tensor> alignment_heads_weightsShapedArray() const;

    const std::shared_ptr<const System::ML::FeatureProvider> provider;
};

} // namespace ZodozorEro
