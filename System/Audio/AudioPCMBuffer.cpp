#include "System/Audio/AudioPCMBuffer.h"

#include <algorithm>

namespace System::Audio {

std::optional<AudioPCMBuffer> AudioPCMBuffer::make(AudioFormat format, std::uint32_t frameCapacity) {
    if (!format.isValid() || frameCapacity == 0 ||
        std::uint64_t(frameCapacity) * format.channelCount > maxSamples) {
        return std::nullopt;
    }
    return AudioPCMBuffer(format, frameCapacity);
}

AudioPCMBuffer::AudioPCMBuffer(AudioFormat format, std::uint32_t frameCapacity)
    : format_(format)
    , frameCapacity_(frameCapacity)
    , storage_(std::size_t(frameCapacity) * format.channelCount, 0.0f) {}

void AudioPCMBuffer::setFrameLength(std::uint32_t frames) {
    frameLength_ = std::min(frames, frameCapacity_);
}

} // namespace System::Audio
