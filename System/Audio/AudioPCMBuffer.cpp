#include "System/Audio/AudioPCMBuffer.h"

#include <algorithm>
#include <cstring>

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

bool AudioPCMBuffer::appendContents(const AudioPCMBuffer& source, std::uint32_t startingFrame,
                                    std::uint32_t frameCount) {
    if (source.format() != format_ || std::uint64_t(startingFrame) + frameCount > source.frameLength()) {
        return false;
    }
    const std::uint32_t count = std::min(frameCount, frameCapacity_ - frameLength_);
    if (count == 0) {
        return true;
    }
    for (std::uint32_t c = 0; c < format_.channelCount; ++c) {
        std::memcpy(channelData(c) + frameLength_, source.channelData(c) + startingFrame, count * sizeof(float));
    }
    frameLength_ += count;
    return true;
}

} // namespace System::Audio
