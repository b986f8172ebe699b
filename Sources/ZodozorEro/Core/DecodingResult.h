#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ZodozorEro/Core/DecodingFallback.h"
#include "ZodozorEro/Core/DecodingInputs.h"
#include "ZodozorEro/Core/TranscriptionTimings.h"

namespace ZodozorEro {

// The outcome of decoding one window.
struct DecodingResult {
    std::string language;
    // Language code to probability, when language detection ran.
    std::map<std::string, float> languageProbs;
    std::vector<int> tokens;
    // Per decoded token, its id mapped to its log probability.
    std::vector<std::map<int, float>> tokenLogProbs;
    std::string text;
    float avgLogProb = 0;
    float noSpeechProb = 0;
    float temperature = 0;
    float compressionRatio = 0;
    std::optional<DecodingCache> cache;
    std::optional<TranscriptionTimings> timings;
    // Why the window needs another attempt, if it does.
    std::optional<DecodingFallback> fallback;

    // Everything empty, the four numbers 0, nothing else present.
    static DecodingResult emptyResults() { return {}; }
};

} // namespace ZodozorEro
