#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ZodozorEro/Core/TranscriptionSegment.h"
#include "ZodozorEro/Core/WordTiming.h"

namespace ZodozorEroTesting {

// A segment of three tokens (two timestamps around one text token) with fixed quality figures; only what a
// test varies is given.
inline ZodozorEro::TranscriptionSegment
resultSegment(int id, std::int64_t seek, float start, float end, std::string text,
              std::optional<std::vector<ZodozorEro::WordTiming>> words) {
    return ZodozorEro::TranscriptionSegment{.id = id,
                                            .seek = seek,
                                            .start = start,
                                            .end = end,
                                            .text = std::move(text),
                                            .tokens = {50364, 1000, 50400},
                                            .tokenLogProbs = {{{50364, 0}}, {{1000, -0.25f}}, {{50400, 0}}},
                                            .temperature = 0,
                                            .avgLogprob = -0.5f,
                                            .compressionRatio = 1.5f,
                                            .noSpeechProb = 0.125f,
                                            .words = std::move(words)};
}

} // namespace ZodozorEroTesting
