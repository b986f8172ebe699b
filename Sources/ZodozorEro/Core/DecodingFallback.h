#pragma once

#include <optional>
#include <string>

#include "ZodozorEro/Core/DecodingOptions.h"

namespace ZodozorEro {

// Why a decoded window is not accepted as it is: either it needs another attempt at a higher temperature, or
// (`needsFallback` false, reason "silence") it is taken as silence.
struct DecodingFallback {
    bool needsFallback = false;
    std::string fallbackReason;

    bool operator==(const DecodingFallback&) const = default;

    // The first rule that applies, in this order: a first token the caller found too unlikely
    // ("firstTokenLogProbThreshold"); more no-speech probability than the threshold ("silence"); a text that
    // compresses better than the threshold ("compressionRatioThreshold"); an average log probability below
    // the threshold ("logProbThreshold"). Nothing when none applies: the window is accepted. An absent
    // threshold skips its rule; comparisons are strict and false for a value that is not a number.
    static std::optional<DecodingFallback> decide(const DecodingOptions& options,
                                                  bool isFirstTokenLogProbTooLow, float noSpeechProb,
                                                  float compressionRatio, float avgLogProb);
};

} // namespace ZodozorEro
