#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ZodozorEro/Core/WordTiming.h"
#include "ZodozorEro/Utilities/JsonCoding.h"

namespace ZodozorEro {

// One timed stretch of a transcription with the tokens it was decoded from and the quality of that decode.
struct TranscriptionSegment {
    int id = 0;
    // The first sample of the window that produced the segment.
    std::int64_t seek = 0;
    float start = 0;
    float end = 0;
    std::string text;
    std::vector<int> tokens;
    // Per token, its id mapped to its log probability.
    std::vector<std::map<int, float>> tokenLogProbs;
    float temperature = 0;
    float avgLogprob = 0;
    float compressionRatio = 0;
    float noSpeechProb = 0;
    std::optional<std::vector<WordTiming>> words;

    float duration() const { return end - start; }

    bool operator==(const TranscriptionSegment&) const = default;

    // Field names as keys; "words" only when present. Token ids of "tokenLogProbs" are decimal keys.
    JsonCoding::OrderedJson encode() const;
    // Every key but "words" is required.
    static TranscriptionSegment decode(const JsonCoding::Json& json);
};

// Whether some segment starts where `segment` starts; nothing else is compared.
bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment);

} // namespace ZodozorEro

template <>
struct std::hash<ZodozorEro::TranscriptionSegment> {
    std::size_t operator()(const ZodozorEro::TranscriptionSegment& segment) const;
};
