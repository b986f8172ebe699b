#pragma once

#include "System/Concurrency/Duration.h"

#include <span>
#include <vector>

namespace TessarinCore {

using Duration = System::Concurrency::Duration;

// The root mean square of the samples, summed in order in single precision; 0 for no samples.
float rootMeanSquare(std::span<const float> samples);

// One block of microphone audio while recording: 32-bit float, mono, 16,000 samples a second,
// nominally -1.0 to 1.0.
struct AudioChunk {
    std::vector<float> samples;

    // Root mean square of the samples, summed in single precision in sample order; 0 for an empty chunk.
    float level() const;

    // Element-wise float equality: a NaN sample makes two chunks unequal.
    bool operator==(const AudioChunk&) const = default;
};

// The whole recording of one dictation: 32-bit float, mono, at the fixed rate below.
struct AudioClip {
    static constexpr int sampleRate = 16000;

    std::vector<float> samples;

    Duration duration() const;
    bool isEmpty() const { return samples.empty(); }

    bool operator==(const AudioClip&) const = default;
};

} // namespace TessarinCore
