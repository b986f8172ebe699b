#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ZodozorEro/Core/Audio/VoiceActivityDetector.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/DecodingTask.h"
#include "ZodozorEro/Utilities/JsonCoding.h"

namespace ZodozorEro {

// How the pipeline turns one audio buffer into text. Build it with designated initializers; a field left out
// takes the default below, and `detectLanguage` then follows `usePrefillPrompt` (detection is needed
// exactly when the language tokens are not prefilled).
struct DecodingOptions {
    bool verbose = false;
    DecodingTask task = DecodingTask::transcribe;
    // One of Constants::languageCodes(); absent leaves the language open.
    std::optional<std::string> language;
    float temperature = 0;
    float temperatureIncrementOnFallback = 0.2f;
    int temperatureFallbackCount = 5;
    int sampleLength = Constants::maxTokenContext;
    int topK = 5;
    bool usePrefillPrompt = true;
    bool detectLanguage = !usePrefillPrompt;
    bool skipSpecialTokens = false;
    bool withoutTimestamps = false;
    bool wordTimestamps = false;
    // Seconds.
    std::optional<float> maxInitialTimestamp;
    std::optional<std::int64_t> maxWindowSeek;
    // Start/end pairs in seconds of the stretches to transcribe; a lone last start runs to the end.
    std::vector<float> clipTimestamps;
    float windowClipTime = 1;
    std::optional<std::vector<int>> promptTokens;
    std::optional<std::vector<int>> prefixTokens;
    bool suppressBlank = false;
    std::vector<int> suppressTokens;
    // The quality thresholds that send a window back for another attempt; an absent one is not tested.
    std::optional<float> compressionRatioThreshold = 2.4f;
    std::optional<float> logProbThreshold = -1.0f;
    std::optional<float> firstTokenLogProbThreshold = -1.5f;
    std::optional<float> noSpeechThreshold = 0.6f;
    int concurrentWorkerCount = 16;
    std::optional<ChunkingStrategy> chunkingStrategy;

    bool operator==(const DecodingOptions&) const = default;

    // The field names as keys, in field order; absent optionals are left out.
    JsonCoding::OrderedJson encode() const;
    // Every non-optional field is required (no default is filled in); the first missing one, in field order,
    // fails with keyNotFound. Optional fields may be absent or null; unknown keys are ignored.
    static DecodingOptions decode(const JsonCoding::Json& json);

    // The sample spans of `clipTimestamps` over audio of `contentFrames` samples: each time to the nearest
    // sample (halves away from zero), the end of the audio added to an odd list, [0, contentFrames) without
    // clips. Spans are passed on as given (a start after its end included). Throws WhisperError
    // (transcriptionFailed) for a time that is not a finite number of seconds within reach of a sample index.
    std::vector<SampleSpan> prepareSeekClips(std::int64_t contentFrames) const;
};

} // namespace ZodozorEro
