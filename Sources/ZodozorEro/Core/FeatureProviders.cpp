#include "ZodozorEro/Core/FeatureProviders.h"

#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

using System::ML::FeatureValue;
using System::ML::MultiArray;
using System::ML::Tensor;

namespace {

std::optional<MultiArray> optionalArray(const System::ML::FeatureProvider& provider,
                                        const std::string& name) {
    const auto value = provider.featureValue(name);
    return value ? value->multiArrayValue() : std::nullopt;
}

MultiArray requiredArray(const System::ML::FeatureProvider& provider, const std::string& name) {
    auto array = optionalArray(provider, name);
    if (!array) {
        throw WhisperError(WhisperError::Kind::transcriptionFailed,
                           "The model's output has no \"" + name + "\" array");
    }
    return std::move(*array);
}

Tensor halfTensor(const MultiArray& array) {
    return Tensor(System::ML::convertedFloats(array, System::ML::MultiArrayDataType::float16));
}

std::shared_ptr<const System::ML::FeatureProvider> dictionary(std::map<std::string, FeatureValue> values) {
    return std::make_shared<System::ML::DictionaryFeatureProvider>(std::move(values));
}

} // namespace

std::set<std::string> MelSpectrogramInput::featureNames() const {
    return {"audio"};
}

std::optional<FeatureValue> MelSpectrogramInput::featureValue(const std::string& name) const {
    if (name == "audio") {
        return audio;
    }
    return std::nullopt;
}

std::set<std::string> AudioEncoderInput::featureNames() const {
    return {"melspectrogram_features"};
}

std::optional<FeatureValue> AudioEncoderInput::featureValue(const std::string& name) const {
    if (name == "melspectrogram_features") {
        return melspectrogram_features;
    }
    return std::nullopt;
}

TextDecoderInput::TextDecoderInput(MultiArray input_ids, MultiArray cache_length, MultiArray key_cache,
                                   MultiArray value_cache, MultiArray kv_cache_update_mask,
                                   MultiArray encoder_output_embeds, MultiArray decoder_key_padding_mask)
    : input_ids(std::move(input_ids))
    , cache_length(std::move(cache_length))
    , key_cache(std::move(key_cache))
    , value_cache(std::move(value_cache))
    , kv_cache_update_mask(std::move(kv_cache_update_mask))
    , encoder_output_embeds(std::move(encoder_output_embeds))
    , decoder_key_padding_mask(std::move(decoder_key_padding_mask)) {}

TextDecoderInput::TextDecoderInput(const Tensor& input_ids, const Tensor& cache_length,
                                   const Tensor& key_cache, const Tensor& value_cache,
                                   const Tensor& kv_cache_update_mask, const Tensor& encoder_output_embeds,
                                   const Tensor& decoder_key_padding_mask)
    : TextDecoderInput(input_ids.shapedArray(), cache_length.shapedArray(), key_cache.shapedArray(),
                       value_cache.shapedArray(), kv_cache_update_mask.shapedArray(),
                       encoder_output_embeds.shapedArray(), decoder_key_padding_mask.shapedArray()) {}

std::set<std::string> TextDecoderInput::featureNames() const {
    return {"input_ids",
            "cache_length",
            "key_cache",
            "value_cache",
            "kv_cache_update_mask",
            "encoder_output_embeds",
            "decoder_key_padding_mask"};
}

std::optional<FeatureValue> TextDecoderInput::featureValue(const std::string& name) const {
    const std::pair<const char*, const MultiArray*> features[] = {
        {"input_ids", &input_ids},
        {"cache_length", &cache_length},
        {"key_cache", &key_cache},
        {"value_cache", &value_cache},
        {"kv_cache_update_mask", &kv_cache_update_mask},
        {"encoder_output_embeds", &encoder_output_embeds},
        {"decoder_key_padding_mask", &decoder_key_padding_mask},
    };
    for (const auto& [feature, array] : features) {
        if (name == feature) {
            return *array;
        }
    }
    return std::nullopt;
}

MelSpectrogramOutput::MelSpectrogramOutput(MultiArray melspectrogram_features)
    : provider(dictionary({{"melspectrogram_features", std::move(melspectrogram_features)}})) {}

MultiArray MelSpectrogramOutput::melspectrogramFeatures() const {
    return requiredArray(*provider, "melspectrogram_features");
}

Tensor MelSpectrogramOutput::melspectrogram_featuresShapedArray() const {
    return halfTensor(melspectrogramFeatures());
}

AudioEncoderOutput::AudioEncoderOutput(MultiArray encoder_output_embeds)
    : provider(dictionary({{"encoder_output_embeds", std::move(encoder_output_embeds)}})) {}

MultiArray AudioEncoderOutput::encoder_output_embeds() const {
    return requiredArray(*provider, "encoder_output_embeds");
}

Tensor AudioEncoderOutput::encoder_output_embedsShapedArray() const {
    return halfTensor(encoder_output_embeds());
}

TextDecoderOutput::TextDecoderOutput(MultiArray logits, MultiArray key_cache_updates,
                                     MultiArray value_cache_updates, MultiArray)
    : provider(dictionary({{"logits", std::move(logits)},
                           {"key_cache_updates", std::move(key_cache_updates)},
                           {"value_cache_updates", std::move(value_cache_updates)}})) {}

MultiArray TextDecoderOutput::logits() const {
    return requiredArray(*provider, "logits");
}
MultiArray TextDecoderOutput::key_cache_updates() const {
    return requiredArray(*provider, "key_cache_updates");
}
MultiArray TextDecoderOutput::value_cache_updates() const {
    return requiredArray(*provider, "value_cache_updates");
}
std::optional<MultiArray> TextDecoderOutput::alignment_heads_weights() const {
    return optionalArray(*provider, "alignment_heads_weights");
}

Tensor TextDecoderOutput::logitsShapedArray() const {
    return halfTensor(logits());
}
Tensor TextDecoderOutput::key_cache_updatesShapedArray() const {
    return halfTensor(key_cache_updates());
}
Tensor TextDecoderOutput::value_cache_updatesShapedArray() const {
    return halfTensor(value_cache_updates());
}
std::optional<Tensor> TextDecoderOutput::alignment_heads_weightsShapedArray() const {
    const auto weights = alignment_heads_weights();
    return weights ? std::optional<Tensor>(halfTensor(*weights)) : std::nullopt;
}

} // namespace ZodozorEro
