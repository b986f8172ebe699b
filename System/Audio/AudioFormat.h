#pragma once

#include <cstdint>
#include <optional>

namespace System::Audio {

// The layout of PCM audio as this layer carries it: 32-bit float samples, one plane per channel.
// A default-constructed format (rate 0, no channels) stands for "no usable audio", which is what an
// input reports when there is no device behind it.
struct AudioFormat {
    double sampleRate = 0;
    std::uint32_t channelCount = 0;

    static constexpr std::uint32_t maxChannels = 64;

    // Nothing when the rate is not a positive finite number or the channel count is 0 or above maxChannels.
    static std::optional<AudioFormat> make(double sampleRate, std::uint32_t channelCount);

    bool isValid() const;
    bool operator==(const AudioFormat&) const = default;
};

} // namespace System::Audio
