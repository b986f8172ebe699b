#include "TessarinCore/Domain/Audio.h"

#include <cmath>

namespace TessarinCore {

float rootMeanSquare(std::span<const float> samples) {
    if (samples.empty()) {
        return 0.0f;
    }
    float sumOfSquares = 0.0f;
    for (const float sample : samples) {
        sumOfSquares += sample * sample;
    }
    return std::sqrt(sumOfSquares / static_cast<float>(samples.size()));
}

float AudioChunk::level() const { return rootMeanSquare(samples); }

Duration AudioClip::duration() const {
    return Duration::seconds(static_cast<double>(samples.size()) / static_cast<double>(sampleRate));
}

} // namespace TessarinCore
