#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "ZodozorEro/Utilities/JsonCoding.h"

namespace ZodozorEro {

// The performance record of one transcription run. Durations are in seconds; `pipelineStart` and
// `firstTokenTime` are instants in seconds on the pipeline's clock; the fields named total* count runs, as
// whole numbers kept in doubles like everything else the stages add into the record.
struct TranscriptionTimings {
    double pipelineStart = std::numeric_limits<double>::max();
    double firstTokenTime = std::numeric_limits<double>::max();
    // Not 0, so a real-time factor of a record that never saw audio stays finite.
    double inputAudioSeconds = 0.001;
    double modelLoading = 0;
    double prewarmLoadTime = 0;
    double encoderLoadTime = 0;
    double decoderLoadTime = 0;
    double encoderSpecializationTime = 0;
    double decoderSpecializationTime = 0;
    double tokenizerLoadTime = 0;
    double audioLoading = 0;
    double audioProcessing = 0;
    double logmels = 0;
    double encoding = 0;
    double decodingInit = 0;
    double decodingLoop = 0;
    double decodingPredictions = 0;
    double decodingFiltering = 0;
    double decodingSampling = 0;
    double decodingFallback = 0;
    // Includes the word-timestamp alignment, which the report takes out again.
    double decodingWindowing = 0;
    double decodingKvCaching = 0;
    double decodingWordTimestamps = 0;
    double decodingNonPrediction = 0;
    double totalAudioProcessingRuns = 0;
    double totalLogmelRuns = 0;
    double totalEncodingRuns = 0;
    double totalDecodingLoops = 0;
    double totalKVUpdateRuns = 0;
    double totalTimestampAlignmentRuns = 0;
    double totalDecodingFallbacks = 0;
    double totalDecodingWindows = 0;
    double fullPipeline = 0;

    double tokensPerSecond() const { return totalDecodingLoops / fullPipeline; }
    double realTimeFactor() const { return fullPipeline / inputAudioSeconds; }
    double speedFactor() const { return inputAudioSeconds / fullPipeline; }

    bool operator==(const TranscriptionTimings&) const = default;

    // All 33 keys, in field order; EncodingError for a value that is not finite.
    JsonCoding::OrderedJson encode() const;
    // Every key is required.
    static TranscriptionTimings decode(const JsonCoding::Json& json);
};

// The multi-line timing report of a run whose segments hold `totalTokens` tokens: per-stage time, runs, time
// per run and share of the whole run, then load times and throughput. No trailing line break.
std::string timingReport(const TranscriptionTimings& timings, std::int64_t totalTokens);

} // namespace ZodozorEro
