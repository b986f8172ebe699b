#pragma once

#include "TessarinCore/Domain/Audio.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace TessarinCore {

// Decides whether a finished recording holds speech and cuts the silence around it. The clip is read in
// short frames; the quietest frames give the noise floor, the threshold follows it within fixed bounds, and
// the span from the first to the last frame at or above the threshold is kept with some padding. A value
// fixed after construction; callable from any thread.
struct SilenceTrimmer {
    struct Result {
        AudioClip clip;          // the trimmed clip
        Duration speechDuration; // frameDuration times the number of speech frames, wherever they lie
        float peakLevel = 0;     // the largest frame level of the untrimmed clip
        float noiseFloor = 0;    // the noise estimate of the untrimmed clip

        float signalToNoise() const { return peakLevel / std::max(noiseFloor, 0.001f); }
        bool isFaint() const { return signalToNoise() < 4.0f; }

        bool operator==(const Result&) const = default;
    };

    Duration frameDuration; // length of one analysis frame
    float noiseMultiplier;  // threshold = noise floor times this
    float minimumThreshold; // lower bound of the threshold (linear amplitude, full scale 1.0)
    float maximumThreshold; // upper bound of the threshold; wins when the bounds cross
    Duration padding;       // audio kept before the first and after the last speech frame
    Duration minimumSpeech; // least total duration of speech frames for a clip to count as speech

    // The largest frame level of the clip; 0 for an empty clip.
    float peakLevel(const AudioClip& clip) const;

    // The trimmed speech with the clip's levels, or nothing when the clip holds no speech.
    std::optional<Result> trim(const AudioClip& clip) const;

    bool operator==(const SilenceTrimmer&) const = default;

private:
    // The root mean square of each frame in order; the last frame holds whatever remains.
    std::vector<float> frameLevels(const AudioClip& clip) const;
};

} // namespace TessarinCore
