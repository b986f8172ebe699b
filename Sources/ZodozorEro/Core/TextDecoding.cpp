#include "ZodozorEro/Core/TextDecoding.h"

#include "System/ML/Compute.h"
#include "VuzadoDudi/MLUtilities.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/FloatType.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <algorithm>

namespace ZodozorEro {

namespace {

using System::ML::MultiArray;
using System::ML::MultiArrayDataType;

std::string shapeOf(const MultiArray& array) {
    return System::ML::shapeDescription(array.shape());
}

// Calls `write` with the elements of a float array, as a span of its element type. Taken once for a whole
// update: each taking counts as a write of the array.
template <class Write>
void withFloatValues(MultiArray& array, Write write) {
    switch (array.dataType()) {
    case MultiArrayDataType::float16:
        write(array.mutableValues<System::ML::Half>());
        break;
    case MultiArrayDataType::float32:
        write(array.mutableValues<float>());
        break;
    case MultiArrayDataType::float64:
        write(array.mutableValues<double>());
        break;
    default:
        break; // refused by requireFloats before any write
    }
}

// Writes `count` floats into float elements from `offset` on, `stride` apart.
template <class Element>
void writeFloats(std::span<Element> values, std::span<const float> source, std::size_t sourceStride,
                 std::size_t offset, std::size_t stride, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        values[offset + i * stride] = Element(source[i * sourceStride]);
    }
}

void requireFloats(const MultiArray& array) {
    if (!System::ML::isFloatType(array.dataType())) {
        throw WhisperError::decodingFailed("The decoder state holds an array of " +
                                           std::string(System::ML::dataTypeName(array.dataType())) +
                                           " elements where floats belong");
    }
}

} // namespace

std::shared_ptr<DecodingInputsType> TextDecoding::prepareDecoderInputs(const std::vector<int>& prompt) {
    const auto embedDim = kvCacheEmbedDim();
    if (!embedDim) {
        throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheEmbedDim");
    }
    const auto positions = kvCacheMaxSequenceLength();
    if (!positions) {
        throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheMaxSequenceLength");
    }
    const auto frames = windowSize();
    if (!frames) {
        throw WhisperError::prepareDecoderInputsFailed("Unable to determine encoderOutputDim");
    }
    using VuzadoDudi::makeMultiArray;
    const auto floats = System::ML::ElementTypeOf<FloatType>::dataType;
    const auto int32 = MultiArrayDataType::int32;
    auto inputIds = makeMultiArray({1}, int32, std::int32_t(0));
    auto cacheLength = makeMultiArray({1}, int32, std::int32_t(0));
    auto keyCache = makeMultiArray({1, *embedDim, 1, *positions}, floats, FloatType(0));
    auto valueCache = makeMultiArray({1, *embedDim, 1, *positions}, floats, FloatType(0));
    auto alignmentWeights = makeMultiArray({*positions, *frames}, floats, FloatType(0));
    auto kvCacheUpdateMask = makeMultiArray({1, *positions}, int32, std::int32_t(0));
    auto decoderKeyPaddingMask = makeMultiArray({1, *positions}, floats, FloatType(-10000));
    kvCacheUpdateMask.setValue(0, 1);
    decoderKeyPaddingMask.setValue(0, 0);
    return std::make_shared<DecodingInputs>(prompt, inputIds, cacheLength, keyCache, valueCache,
                                            alignmentWeights, kvCacheUpdateMask, decoderKeyPaddingMask);
}

System::Concurrency::Task<std::shared_ptr<DecodingInputsType>>
TextDecoding::prefillDecoderInputs(std::shared_ptr<DecodingInputsType> decoderInputs,
                                   std::optional<DecodingOptions> options) {
    const auto words = tokenizer();
    if (!words) {
        throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    }
    auto* inputs = dynamic_cast<DecodingInputs*>(decoderInputs.get());
    if (!inputs) {
        throw WhisperError::prepareDecoderInputsFailed("Unable to cast decoderInputs to DecodingInputs");
    }
    const SpecialTokens& special = words->specialTokens();
    auto textTokens = [&](auto begin, auto end) {
        std::vector<int> kept;
        std::copy_if(begin, end, std::back_inserter(kept),
                     [&](int token) { return token < special.specialTokenBegin; });
        return kept;
    };

    std::vector<int> prompt{special.startOfTranscriptToken};
    if (options) {
        if (isModelMultilingual()) {
            const std::string language =
                options->language.value_or(std::string(Constants::defaultLanguageCode));
            prompt.push_back(words->convertTokenToId("<|" + language + "|>").value_or(special.englishToken));
            const std::string task = options->task == DecodingTask::translate ? "translate" : "transcribe";
            prompt.push_back(words->convertTokenToId("<|" + task + "|>").value_or(special.transcribeToken));
        }
        prompt.push_back(options->withoutTimestamps ? special.noTimestampsToken : special.timeTokenBegin);

        // The previous text, at most half the context less the start-of-previous token.
        if (options->promptTokens) {
            const auto& previous = *options->promptTokens;
            const std::size_t keep =
                std::min<std::size_t>(previous.size(), Constants::maxTokenContext / 2 - 1);
            const auto kept = textTokens(previous.end() - std::ptrdiff_t(keep), previous.end());
            if (!kept.empty()) {
                std::vector<int> withPrevious{special.startOfPreviousToken};
                withPrevious.insert(withPrevious.end(), kept.begin(), kept.end());
                withPrevious.insert(withPrevious.end(), prompt.begin(), prompt.end());
                prompt = std::move(withPrevious);
            }
        }
        // The forced prefix: at most half the context, and never past two positions short of its end.
        if (options->prefixTokens) {
            const auto& prefix = *options->prefixTokens;
            const int length = int(prompt.size());
            const int limit = length < Constants::maxTokenContext / 2 - 1
                                  ? Constants::maxTokenContext / 2
                                  : std::max(0, Constants::maxTokenContext - 2 - length);
            const std::size_t keep = std::min<std::size_t>(prefix.size(), std::size_t(limit));
            const auto kept = textTokens(prefix.end() - std::ptrdiff_t(keep), prefix.end());
            prompt.insert(prompt.end(), kept.begin(), kept.end());
        }
    }
    inputs->initialPrompt() = std::move(prompt);
    inputs->kvCacheUpdateMask().setValue(0, 1);
    inputs->decoderKeyPaddingMask().setValue(0, 0);
    co_return decoderInputs;
}

void TextDecoding::updateKVCache(MultiArray& keyTensor, const MultiArray& keySlice, MultiArray& valueTensor,
                                 const MultiArray& valueSlice, int insertAtIndex) {
    const auto& cache = keyTensor.shape();
    const auto& slice = keySlice.shape();
    const bool fits = cache.size() == 4 && slice.size() == 4 && cache[0] == 1 && cache[2] == 1 &&
                      slice[0] == 1 && slice[2] == 1 && slice[1] == cache[1] &&
                      valueTensor.shape() == cache && valueSlice.shape() == slice && insertAtIndex >= 0 &&
                      insertAtIndex <= cache[3] - slice[3];
    if (!fits) {
        throw WhisperError::decodingFailed("A cache update of shape " + shapeOf(keySlice) + " and " +
                                           shapeOf(valueSlice) + " at position " +
                                           std::to_string(insertAtIndex) + " does not fit caches of shape " +
                                           shapeOf(keyTensor) + " and " + shapeOf(valueTensor));
    }
    requireFloats(keyTensor);
    requireFloats(valueTensor);
    const auto channels = std::size_t(cache[1]);
    const auto count = std::size_t(slice[3]);
    const auto keys = keySlice.toFloats();
    const auto values = valueSlice.toFloats();
    // Element (0, c, 0, j) of a slice is read with the key slice's strides, which the value slice shares.
    const auto sliceChannelStride = std::size_t(keySlice.strides()[1]);
    const auto sliceStride = std::size_t(keySlice.strides()[3]);
    const auto tensorChannelStride = std::size_t(keyTensor.strides()[1]);
    const auto tensorStride = std::size_t(keyTensor.strides()[3]);
    // Each channel writes its own elements; a few thousand of them are not worth a thread.
    withFloatValues(keyTensor, [&](auto keyElements) {
        withFloatValues(valueTensor, [&](auto valueElements) {
            System::ML::Compute::parallelFor(channels, 4096, [&](std::size_t begin, std::size_t end) {
                for (std::size_t c = begin; c < end; ++c) {
                    const std::size_t offset =
                        c * tensorChannelStride + std::size_t(insertAtIndex) * tensorStride;
                    writeFloats(keyElements, std::span(keys).subspan(c * sliceChannelStride), sliceStride,
                                offset, tensorStride, count);
                    writeFloats(valueElements, std::span(values).subspan(c * sliceChannelStride), sliceStride,
                                offset, tensorStride, count);
                }
            });
        });
    });
}

void TextDecoding::updateAlignmentWeights(MultiArray& alignmentTensor, const MultiArray& alignmentSlice,
                                          int insertAtIndex) {
    const auto& tensor = alignmentTensor.shape();
    const auto& slice = alignmentSlice.shape();
    if (tensor.size() != 2 || slice.size() != 2 || slice[0] < 1 || slice[1] != tensor[1] ||
        insertAtIndex < 0 || insertAtIndex + 1 >= tensor[0]) {
        throw WhisperError::decodingFailed("Alignment weights of shape " + shapeOf(alignmentSlice) +
                                           " for position " + std::to_string(insertAtIndex) +
                                           " do not fit a row of alignment weights of shape " +
                                           shapeOf(alignmentTensor));
    }
    requireFloats(alignmentTensor);
    const auto weights = alignmentSlice.toFloats();
    const auto row = std::size_t(insertAtIndex + 1);
    withFloatValues(alignmentTensor, [&](auto elements) {
        writeFloats(elements, weights, std::size_t(alignmentSlice.strides()[1]),
                    row * std::size_t(alignmentTensor.strides()[0]),
                    std::size_t(alignmentTensor.strides()[1]), std::size_t(tensor[1]));
    });
}

} // namespace ZodozorEro
