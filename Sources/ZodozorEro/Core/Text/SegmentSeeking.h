#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "System/ML/MultiArray.h"
#include "ZodozorEro/Core/DecodingOptions.h"
#include "ZodozorEro/Core/DecodingResult.h"
#include "ZodozorEro/Core/TranscriptionSegment.h"
#include "ZodozorEro/Core/TranscriptionTimings.h"
#include "ZodozorEro/Core/WhisperTokenizer.h"

namespace ZodozorEro {

// Where the next window starts, in samples from the start of the audio, and the segments of the window just
// decoded; none when the window was skipped as silent.
struct SeekPointAndSegments {
    std::int64_t seek = 0;
    std::optional<std::vector<TranscriptionSegment>> segments;

    bool operator==(const SeekPointAndSegments&) const = default;
};

// Cuts a window's tokens into timed segments and finds where the next window starts. A pipeline
// configuration may hand in its own seeker in place of the built-in one.
class SegmentSeeking {
public:
    virtual ~SegmentSeeking() = default;

    // `currentSeek` is the window's first sample and `segmentSize` its length in samples; `allSegmentsCount`
    // is the id of the first new segment; `timeToken` the id of the 0.00 s timestamp. `specialToken` is not
    // read. The seek point always lies beyond `currentSeek`, so every window advances.
    virtual SeekPointAndSegments findSeekPointAndSegments(const DecodingResult& decodingResult,
                                                          const DecodingOptions& options,
                                                          int allSegmentsCount, std::int64_t currentSeek,
                                                          std::int64_t segmentSize, int sampleRate,
                                                          int timeToken, int specialToken,
                                                          const WhisperTokenizer& tokenizer) const = 0;

    // The segments with their words timed by aligning tokens to audio frames. `alignmentWeights` holds one
    // row of cross-attention per decoder position, one column per 20 ms frame; `alignmentRowOffset` is the
    // row of the segments' first token: the position of the start-of-transcript token in the decoder's
    // prompt, which a previous-text prompt moves. `seek` is the window's first sample; `lastSpeechTimestamp`
    // the end of the speech before it, in seconds. `segmentSize`, `options` and `timings` are not read.
    // Throws WhisperError (segmentingFailed) when the weights have no shape or no row for a token.
    virtual std::optional<std::vector<TranscriptionSegment>>
    addWordTimestamps(const std::vector<TranscriptionSegment>& segments,
                      const System::ML::MultiArray& alignmentWeights, std::int64_t alignmentRowOffset,
                      const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize,
                      std::string_view prependPunctuations, std::string_view appendPunctuations,
                      float lastSpeechTimestamp, const DecodingOptions& options,
                      const TranscriptionTimings& timings) const = 0;
};

} // namespace ZodozorEro
