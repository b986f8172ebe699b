#include "System/Audio/AudioFormat.h"

#include <cmath>

namespace System::Audio {

std::optional<AudioFormat> AudioFormat::make(double sampleRate, std::uint32_t channelCount) {
    AudioFormat format{sampleRate, channelCount};
    if (!format.isValid()) {
        return std::nullopt;
    }
    return format;
}

bool AudioFormat::isValid() const {
    return std::isfinite(sampleRate) && sampleRate > 0 && channelCount > 0 && channelCount <= maxChannels;
}

} // namespace System::Audio
