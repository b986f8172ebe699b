#pragma once

#include <optional>
#include <vector>

#include "System/ML/MultiArray.h"
#include "ZodozorEro/Core/DecodingInputsType.h"

namespace ZodozorEro {

// The text decoder's tensor state for one run: created with its arrays (shaped by the decoder), reset at the
// start of each window, updated in place at each step.
class DecodingInputs : public DecodingInputsType {
public:
    DecodingInputs(std::vector<int> initialPrompt, System::ML::MultiArray inputIds,
                   System::ML::MultiArray cacheLength, System::ML::MultiArray keyCache,
                   System::ML::MultiArray valueCache, System::ML::MultiArray alignmentWeights,
                   System::ML::MultiArray kvCacheUpdateMask, System::ML::MultiArray decoderKeyPaddingMask);

    std::vector<int>& initialPrompt() override { return initialPrompt_; }
    System::ML::MultiArray& inputIds() override { return inputIds_; }
    System::ML::MultiArray& cacheLength() override { return cacheLength_; }
    System::ML::MultiArray& keyCache() { return keyCache_; }
    System::ML::MultiArray& valueCache() { return valueCache_; }
    System::ML::MultiArray& alignmentWeights() { return alignmentWeights_; }
    // One-hot over the cache positions: the one written at this step.
    System::ML::MultiArray& kvCacheUpdateMask() { return kvCacheUpdateMask_; }
    // Added to the attention scores: 0 for filled cache positions, -10000 for empty ones.
    System::ML::MultiArray& decoderKeyPaddingMask() { return decoderKeyPaddingMask_; }

    // Cache length 0, position 0 open and marked for writing, positions 1 ..< maxTokenContext closed; the
    // caches and the input token stay. Throws WhisperError (prepareDecoderInputsFailed), writing nothing,
    // when maxTokenContext is below 1 or an array is too small for it.
    void reset(int maxTokenContext) override;

private:
    std::vector<int> initialPrompt_;
    System::ML::MultiArray inputIds_;
    System::ML::MultiArray cacheLength_;
    System::ML::MultiArray keyCache_;
    System::ML::MultiArray valueCache_;
    System::ML::MultiArray alignmentWeights_;
    System::ML::MultiArray kvCacheUpdateMask_;
    System::ML::MultiArray decoderKeyPaddingMask_;
};

// The decoder's caches after a window, carried in its result.
struct DecodingCache {
    std::optional<System::ML::MultiArray> keyCache;
    std::optional<System::ML::MultiArray> valueCache;
    std::optional<System::ML::MultiArray> alignmentWeights;
};

} // namespace ZodozorEro
