#include "ZodozorEro/Core/Audio/EnergyVAD.h"

#include "ZodozorEro/Core/Audio/AudioProcessor.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace ZodozorEro {

EnergyVAD::EnergyVAD(std::int64_t sampleRate, std::int64_t frameLengthSamples, std::int64_t frameOverlapSamples,
                     float energyThreshold)
    : VoiceActivityDetector(sampleRate, frameLengthSamples, frameOverlapSamples)
    , energyThreshold_(energyThreshold) {}

EnergyVAD EnergyVAD::seconds(std::int64_t sampleRate, float frameLength, float frameOverlap, float energyThreshold) {
    // Single-precision products, truncated toward zero.
    const float length = frameLength * float(sampleRate);
    const float overlap = frameOverlap * float(sampleRate);
    constexpr float limit = float(std::numeric_limits<std::int32_t>::max());
    if (!std::isfinite(length) || !std::isfinite(overlap) || std::abs(length) > limit || std::abs(overlap) > limit) {
        throw std::invalid_argument("The frame length and overlap of a voice activity detector must be finite and "
                                    "of a sensible size.");
    }
    return EnergyVAD(sampleRate, std::int64_t(length), std::int64_t(overlap), energyThreshold);
}

std::vector<bool> EnergyVAD::voiceActivity(std::span<const float> samples) const {
    const auto frameCount =
        std::int64_t(std::ceil(double(samples.size()) / double(frameLengthSamples())));
    return AudioProcessor::calculateVoiceActivityInChunks(samples, frameCount, frameLengthSamples(),
                                                          frameOverlapSamples(), energyThreshold_);
}

} // namespace ZodozorEro
