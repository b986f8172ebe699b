#include "System/Audio/AudioFileWriter.h"

#include "System/Audio/AudioFile.h"

#include <sndfile.h>

#include <algorithm>
#include <memory>

namespace System::Audio {

namespace {
int formatCode(AudioFileEncoding encoding) {
    switch (encoding) {
    case AudioFileEncoding::wavInt16:
        return SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    case AudioFileEncoding::wavFloat32:
        return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    case AudioFileEncoding::flacInt16:
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    case AudioFileEncoding::flacInt24:
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    }
    return 0;
}
} // namespace

void writeAudioFile(const std::filesystem::path& path, AudioFileEncoding encoding, int sampleRate,
                    const std::vector<std::vector<float>>& planes) {
    const std::size_t channels = planes.size();
    const std::size_t frames = channels ? planes[0].size() : 0;
    for (const auto& plane : planes) {
        if (plane.size() != frames) {
            throw AudioFileError(AudioFileError::Code::unreadable, path.string(), "the channels differ in length");
        }
    }
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = int(channels);
    info.format = formatCode(encoding);
    SNDFILE* raw = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!raw) {
        throw AudioFileError(AudioFileError::Code::unreadable, path.string(), sf_strerror(nullptr));
    }
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(raw, &sf_close);
    sf_command(raw, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    constexpr std::size_t block = 65'536;
    std::vector<float> interleaved(block * channels);
    for (std::size_t start = 0; start < frames; start += block) {
        const std::size_t n = std::min(block, frames - start);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t c = 0; c < channels; ++c) {
                interleaved[i * channels + c] = planes[c][start + i];
            }
        }
        if (sf_writef_float(raw, interleaved.data(), sf_count_t(n)) != sf_count_t(n)) {
            throw AudioFileError(AudioFileError::Code::unreadable, path.string(), sf_strerror(raw));
        }
    }
}

} // namespace System::Audio
