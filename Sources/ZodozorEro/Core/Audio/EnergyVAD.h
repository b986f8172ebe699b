#pragma once

#include "ZodozorEro/Core/Audio/VoiceActivityDetector.h"

namespace ZodozorEro {

// Voiced frames are those whose root-mean-square energy is above a fixed threshold.
class EnergyVAD : public VoiceActivityDetector {
public:
    // The default detector: 0.1 s frames at 16 kHz, no overlap, threshold 0.02.
    EnergyVAD(std::int64_t sampleRate = 16'000, std::int64_t frameLengthSamples = 1'600,
              std::int64_t frameOverlapSamples = 0, float energyThreshold = 0.02f);

    // Frame length and overlap in seconds, truncated to whole samples. Throws std::invalid_argument when
    // they do not give a positive frame length and a non-negative overlap.
    static EnergyVAD seconds(std::int64_t sampleRate, float frameLength, float frameOverlap, float energyThreshold);

    float energyThreshold() const { return energyThreshold_; }

    std::vector<bool> voiceActivity(std::span<const float> samples) const override;

private:
    float energyThreshold_;
};

} // namespace ZodozorEro
