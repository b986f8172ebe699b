#pragma once

#include "System/Audio/AudioFormat.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace System::Audio {

// A block of PCM audio: up to frameCapacity frames in the given format, of which the first frameLength
// are valid. Each channel is a contiguous plane of floats.
class AudioPCMBuffer {
public:
    // The most samples (frames x channels) one buffer may hold: ten minutes of 48 kHz stereo.
    static constexpr std::uint64_t maxSamples = 48'000ull * 2 * 600;

    // Nothing when the format is invalid, the capacity is 0, or the buffer would exceed maxSamples.
    static std::optional<AudioPCMBuffer> make(AudioFormat format, std::uint32_t frameCapacity);

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    // Clamped to the capacity.
    void setFrameLength(std::uint32_t frames);

    // Appends frames [startingFrame, startingFrame + frameCount) of `source` behind the valid frames, as many
    // as fit. False, changing nothing, when the formats differ or the source does not hold those frames.
    bool appendContents(const AudioPCMBuffer& source, std::uint32_t startingFrame, std::uint32_t frameCount);

    float* channelData(std::uint32_t channel) {
        return storage_.data() + std::size_t(channel) * frameCapacity_;
    }
    const float* channelData(std::uint32_t channel) const {
        return storage_.data() + std::size_t(channel) * frameCapacity_;
    }

private:
    AudioPCMBuffer(AudioFormat format, std::uint32_t frameCapacity);

    AudioFormat format_;
    std::uint32_t frameCapacity_ = 0;
    std::uint32_t frameLength_ = 0;
    std::vector<float> storage_;
};

} // namespace System::Audio
