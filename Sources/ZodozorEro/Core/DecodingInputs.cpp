#include "ZodozorEro/Core/DecodingInputs.h"

#include <string>

#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

DecodingInputs::DecodingInputs(std::vector<int> initialPrompt, System::ML::MultiArray inputIds,
                               System::ML::MultiArray cacheLength, System::ML::MultiArray keyCache,
                               System::ML::MultiArray valueCache, System::ML::MultiArray alignmentWeights,
                               System::ML::MultiArray kvCacheUpdateMask,
                               System::ML::MultiArray decoderKeyPaddingMask)
    : initialPrompt_(std::move(initialPrompt))
    , inputIds_(std::move(inputIds))
    , cacheLength_(std::move(cacheLength))
    , keyCache_(std::move(keyCache))
    , valueCache_(std::move(valueCache))
    , alignmentWeights_(std::move(alignmentWeights))
    , kvCacheUpdateMask_(std::move(kvCacheUpdateMask))
    , decoderKeyPaddingMask_(std::move(decoderKeyPaddingMask)) {}

void DecodingInputs::reset(int maxTokenContext) {
    // Checked before the first write, so a bad size leaves the state of the previous window intact.
    if (maxTokenContext < 1) {
        throw WhisperError::prepareDecoderInputsFailed(
            "The token context must hold at least one position, not " + std::to_string(maxTokenContext));
    }
    const auto positions = static_cast<std::size_t>(maxTokenContext);
    if (cacheLength_.count() < 1 || kvCacheUpdateMask_.count() < positions ||
        decoderKeyPaddingMask_.count() < positions) {
        throw WhisperError::prepareDecoderInputsFailed(
            "The decoder masks hold " + std::to_string(kvCacheUpdateMask_.count()) + " and " +
            std::to_string(decoderKeyPaddingMask_.count()) + " positions, fewer than the token context of " +
            std::to_string(maxTokenContext));
    }
    cacheLength_.setValue(0, 0);
    decoderKeyPaddingMask_.setValue(0, 0);
    kvCacheUpdateMask_.setValue(0, 1);
    for (std::size_t position = 1; position < positions; ++position) {
        decoderKeyPaddingMask_.setValue(position, -10000);
        kvCacheUpdateMask_.setValue(position, 0);
    }
}

} // namespace ZodozorEro
