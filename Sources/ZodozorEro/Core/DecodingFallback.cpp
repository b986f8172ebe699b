#include "ZodozorEro/Core/DecodingFallback.h"

namespace ZodozorEro {

std::optional<DecodingFallback> DecodingFallback::decide(const DecodingOptions& options,
                                                         bool isFirstTokenLogProbTooLow, float noSpeechProb,
                                                         float compressionRatio, float avgLogProb) {
    if (isFirstTokenLogProbTooLow) {
        return DecodingFallback{true, "firstTokenLogProbThreshold"};
    }
    if (options.noSpeechThreshold && *options.noSpeechThreshold < noSpeechProb) {
        return DecodingFallback{false, "silence"};
    }
    if (options.compressionRatioThreshold && *options.compressionRatioThreshold < compressionRatio) {
        return DecodingFallback{true, "compressionRatioThreshold"};
    }
    if (options.logProbThreshold && avgLogProb < *options.logProbThreshold) {
        return DecodingFallback{true, "logProbThreshold"};
    }
    return std::nullopt;
}

} // namespace ZodozorEro
