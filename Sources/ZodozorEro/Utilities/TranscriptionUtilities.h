#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZodozorEro/Core/TranscriptionResult.h"
#include "ZodozorEro/Core/TranscriptionSegment.h"
#include "ZodozorEro/Core/WordTiming.h"

namespace ZodozorEro {

// Helpers for hosts that shift, print, compare or join results. Every function returns new values and leaves
// its arguments as they were.
struct TranscriptionUtilities {
    // The segment moved `seekTime` seconds later: its window start by the same span in samples (truncated),
    // its start, end and word times by `seekTime`.
    static TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime);
    // The segment moved `seekOffsetIndex` samples later.
    static TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment,
                                                     std::int64_t seekOffsetIndex);

    // The start of sample `sampleIndex` in seconds at 16 kHz, rounded once to a float.
    static float secondsOfSamples(std::int64_t sampleIndex);

    // One line per segment: its text, or "[start --> end] text" with two decimals.
    static std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments,
                                                   bool withTimestamps);

    // The leading words on which both lists agree once case, hyphens, punctuation and spacing are set aside,
    // as the elements of `words2`.
    static std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& words1,
                                                           const std::vector<WordTiming>& words2);
    // `words2` without that common beginning.
    static std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& words1,
                                                              const std::vector<WordTiming>& words2);

    // One result made of several (absent ones count as empty text). The text is the confirmed words joined
    // when they are given, else the results' texts joined with a space; segment ids are the result's position
    // plus the segment's position; the language is the first result's ("en" without one); timings are merged
    // per field (earliest start, summed work, longest load, and the run's wall time).
    static std::shared_ptr<TranscriptionResult>
    mergeTranscriptionResults(const std::vector<std::shared_ptr<TranscriptionResult>>& results,
                              const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);
};

} // namespace ZodozorEro
