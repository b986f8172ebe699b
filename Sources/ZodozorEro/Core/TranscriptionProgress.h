#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ZodozorEro/Core/TranscriptionTimings.h"

namespace ZodozorEro {

// What the per-window progress callback sees: the run's timings and the text decoded so far.
struct TranscriptionProgress {
    TranscriptionTimings timings;
    std::string text;
    std::vector<int> tokens;
    std::optional<float> temperature;
    std::optional<float> avgLogprob;
    std::optional<float> compressionRatio;
    int windowId = 0;
};

// The coarse state reported to a transcription's state callback.
enum class TranscriptionState { convertingAudio, transcribing, finished };

// "Converting Audio", "Transcribing", "Finished".
std::string_view description(TranscriptionState state);

} // namespace ZodozorEro
