#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "ZodozorEro/Utilities/JsonCoding.h"

namespace ZodozorEro {

// One word of a segment with its tokens, its time span in seconds and its probability.
struct WordTiming {
    std::string word;
    std::vector<int> tokens;
    float start = 0;
    float end = 0;
    float probability = 0;

    float duration() const { return end - start; }

    bool operator==(const WordTiming&) const = default;

    // Keys "word", "tokens", "start", "end", "probability", all required.
    JsonCoding::OrderedJson encode() const;
    static WordTiming decode(const JsonCoding::Json& json);
};

} // namespace ZodozorEro

template <>
struct std::hash<ZodozorEro::WordTiming> {
    std::size_t operator()(const ZodozorEro::WordTiming& timing) const;
};
