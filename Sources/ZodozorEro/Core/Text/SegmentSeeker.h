#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "ZodozorEro/Core/Text/SegmentSeeking.h"
#include "ZodozorEro/Core/WordTiming.h"

namespace ZodozorEro {

// The built-in segment seeker: segments cut at timestamp pairs, and word timings by dynamic time warping over
// the decoder's cross-attention. Every step is virtual so that a host can replace one of them. Stateless.
class SegmentSeeker : public SegmentSeeking {
public:
    // A path through the alignment matrix from its first cell to its last: per step, the token row and the
    // frame column (-1 where the path runs along the matrix's border).
    struct AlignmentPath {
        std::vector<int> textIndices;
        std::vector<int> timeIndices;

        bool operator==(const AlignmentPath&) const = default;
    };
    struct CostAndTrace {
        double cost;
        int trace; // 0 diagonal, 1 up (previous token), 2 left (previous frame)

        bool operator==(const CostAndTrace&) const = default;
    };
    struct DurationConstraints {
        float median;
        float max;

        bool operator==(const DurationConstraints&) const = default;
    };

    SegmentSeeker() = default;

    SeekPointAndSegments findSeekPointAndSegments(const DecodingResult& decodingResult,
                                                  const DecodingOptions& options, int allSegmentsCount,
                                                  std::int64_t currentSeek, std::int64_t segmentSize,
                                                  int sampleRate, int timeToken, int specialToken,
                                                  const WhisperTokenizer& tokenizer) const override;

    // The cheapest monotonic path through a tokens × frames matrix in which higher weight costs less.
    // WhisperError (segmentingFailed) unless the matrix has two dimensions of at least 1 each.
    virtual AlignmentPath dynamicTimeWarping(const System::ML::MultiArray& matrix) const;
    // The cheapest of the three ways into a cell; on any tie the step left.
    virtual CostAndTrace minCostAndTrace(double costDiagonal, double costUp, double costLeft,
                                         double matrixValue) const;
    virtual AlignmentPath backtrace(const std::vector<std::vector<int>>& traceMatrix) const;

    // Merges opening punctuation (after a space) into the following word and closing punctuation into the
    // preceding one; words that are punctuation alone are dropped.
    virtual std::vector<WordTiming> mergePunctuations(const std::vector<WordTiming>& alignment,
                                                      std::string_view prepended,
                                                      std::string_view appended) const;

    // Words of the tokens with times relative to the window, from the alignment path; none for fewer than two
    // words. `timings` is not read.
    virtual std::vector<WordTiming> findAlignment(const std::vector<int>& wordTokenIds,
                                                  const System::ML::MultiArray& alignmentWeights,
                                                  const std::vector<float>& tokenLogProbs,
                                                  const WhisperTokenizer& tokenizer,
                                                  const TranscriptionTimings* timings = nullptr) const;

    std::optional<std::vector<TranscriptionSegment>>
    addWordTimestamps(const std::vector<TranscriptionSegment>& segments,
                      const System::ML::MultiArray& alignmentWeights, std::int64_t alignmentRowOffset,
                      const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize,
                      std::string_view prependPunctuations, std::string_view appendPunctuations,
                      float lastSpeechTimestamp, const DecodingOptions& options,
                      const TranscriptionTimings& timings) const override;

    // The median of the positive word durations (at most 0.7 s) and twice that as the longest plausible.
    virtual DurationConstraints
    calculateWordDurationConstraints(const std::vector<WordTiming>& alignment) const;
    // Words longer than `maxDuration` next to a sentence end are cut to `maxDuration` on that side.
    virtual std::vector<WordTiming>
    truncateLongWordsAtSentenceBoundaries(const std::vector<WordTiming>& alignment, float maxDuration) const;
    // The words placed into the segments in absolute seconds, with implausible durations shortened and the
    // segments' bounds moved to their words.
    virtual std::vector<TranscriptionSegment>
    updateSegmentsWithWordTimings(std::vector<TranscriptionSegment> segments,
                                  const std::vector<WordTiming>& mergedAlignment, std::int64_t seek,
                                  float lastSpeechTimestamp, float constrainedMedianDuration,
                                  float maxDuration, const WhisperTokenizer& tokenizer) const;
};

} // namespace ZodozorEro
