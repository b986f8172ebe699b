#include "ZodozorEro/Core/TextDecoder.h"

#include "VuzadoDudi/Logging.h"
#include "VuzadoDudi/MLUtilities.h"
#include "VuzadoDudi/ModelUtilities.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/FeatureProviders.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

namespace {

using VuzadoDudi::ModelUtilities::getModelInputDimension;
using VuzadoDudi::ModelUtilities::getModelOutputDimension;

} // namespace

void TextDecoder::setModel(std::shared_ptr<System::ML::Model> model) {
    if (model) {
        // The token loop writes the masks one position past the token it computes, up to the last position
        // of the context: a shorter cache would be written past its end.
        const auto positions = getModelInputDimension(model.get(), "key_cache", 3);
        if (positions && *positions < Constants::maxTokenContext) {
            throw WhisperError::modelsUnavailable("The text decoder's key/value cache holds " +
                                                  std::to_string(*positions) + " positions, fewer than the " +
                                                  std::to_string(Constants::maxTokenContext) +
                                                  " tokens of a decoding window");
        }
    }
    model_.set(std::move(model));
}

bool TextDecoder::supportsWordTimestamps() const {
    return getModelOutputDimension(model().get(), "alignment_heads_weights", 0).has_value();
}

std::optional<int> TextDecoder::logitsSize() const {
    return getModelOutputDimension(model().get(), "logits", 2);
}

std::optional<int> TextDecoder::kvCacheEmbedDim() const {
    return getModelInputDimension(model().get(), "key_cache", 1);
}

std::optional<int> TextDecoder::kvCacheMaxSequenceLength() const {
    return getModelInputDimension(model().get(), "key_cache", 3);
}

std::optional<int> TextDecoder::windowSize() const {
    return getModelInputDimension(model().get(), "encoder_output_embeds", 3);
}

std::optional<int> TextDecoder::embedSize() const {
    return getModelInputDimension(model().get(), "encoder_output_embeds", 1);
}

System::Concurrency::Task<std::optional<TextDecoderOutputType>>
TextDecoder::predictLogits(TextDecoderInputType inputs) {
    const auto* arrays = std::any_cast<TextDecoderMLMultiArrayInputType>(&inputs);
    if (!arrays) {
        throw WhisperError::transcriptionFailed("Input must be TextDecoderMLMultiArrayInputType");
    }
    const TextDecoderMLMultiArrayInputType given = *arrays;
    auto output = co_await predictLogits(given.inputIds, given.cacheLength, given.keyCache, given.valueCache,
                                         given.kvCacheUpdateMask, given.encoderOutputEmbeds,
                                         given.decoderKeyPaddingMask);
    co_return TextDecoderOutputType(output.value_or(TextDecoderMLMultiArrayOutputType{}));
}

System::Concurrency::Task<std::optional<TextDecoderMLMultiArrayOutputType>> TextDecoder::predictLogits(
    System::ML::MultiArray inputIds, System::ML::MultiArray cacheLength, System::ML::MultiArray keyCache,
    System::ML::MultiArray valueCache, System::ML::MultiArray kvCacheUpdateMask,
    System::ML::MultiArray encoderOutputEmbeds, System::ML::MultiArray decoderKeyPaddingMask) {
    // Read once: a load or unload on another task during the call does not affect it.
    const auto loaded = model();
    if (!loaded) {
        co_return std::nullopt;
    }
    co_await System::Concurrency::checkCancellation();
    auto input =
        std::make_shared<TextDecoderInput>(inputIds, cacheLength, keyCache, valueCache, kvCacheUpdateMask,
                                           encoderOutputEmbeds, decoderKeyPaddingMask);
    const TextDecoderOutput output(co_await VuzadoDudi::asyncPrediction(loaded, std::move(input)));
    co_return TextDecoderMLMultiArrayOutputType{
        output.logits(), DecodingCache{output.key_cache_updates(), output.value_cache_updates(),
                                       output.alignment_heads_weights()}};
}

} // namespace ZodozorEro
