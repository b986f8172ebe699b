#include "System/Audio/AudioFile.h"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <system_error>

namespace System::Audio {

namespace {

std::string describe(AudioFileError::Code code, const std::string& file, const std::string& detail) {
    std::string text;
    switch (code) {
    case AudioFileError::Code::notFound:
        text = "The audio file \"" + file + "\" does not exist";
        break;
    case AudioFileError::Code::unreadable:
        text = "The audio file \"" + file + "\" can't be read";
        break;
    case AudioFileError::Code::readFailed:
        text = "The audio in \"" + file + "\" can't be read";
        break;
    case AudioFileError::Code::badPosition:
        text = "The read position is outside the audio file \"" + file + "\"";
        break;
    }
    std::string reason = detail;
    while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) {
        reason.pop_back();
    }
    return reason.empty() ? text + "." : text + ": " + reason + ".";
}

// The library's virtual I/O over a block of memory.
struct MemorySource {
    std::span<const std::uint8_t> bytes;
    sf_count_t position = 0;

    static sf_count_t length(void* self) {
        return sf_count_t(static_cast<MemorySource*>(self)->bytes.size());
    }
    static sf_count_t seek(sf_count_t offset, int whence, void* self) {
        auto* source = static_cast<MemorySource*>(self);
        const sf_count_t size = sf_count_t(source->bytes.size());
        sf_count_t base = 0;
        if (whence == SEEK_CUR) {
            base = source->position;
        } else if (whence == SEEK_END) {
            base = size;
        }
        if ((offset > 0 && base > std::numeric_limits<sf_count_t>::max() - offset) || base + offset < 0) {
            return -1;
        }
        source->position = base + offset;
        return source->position;
    }
    static sf_count_t read(void* target, sf_count_t count, void* self) {
        auto* source = static_cast<MemorySource*>(self);
        const sf_count_t size = sf_count_t(source->bytes.size());
        if (count <= 0 || source->position >= size) {
            return 0;
        }
        const sf_count_t n = std::min(count, size - source->position);
        std::memcpy(target, source->bytes.data() + source->position, std::size_t(n));
        source->position += n;
        return n;
    }
    static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
    static sf_count_t tell(void* self) { return static_cast<MemorySource*>(self)->position; }
};

} // namespace

AudioFileError::AudioFileError(Code code, std::string file, std::string detail)
    : DescribedError(describe(code, file, detail))
    , code_(code)
    , file_(std::move(file))
    , detail_(std::move(detail)) {}

struct AudioFile::Handle {
    SNDFILE* file = nullptr;
    std::unique_ptr<MemorySource> memory;
    SF_VIRTUAL_IO io{};
    ~Handle() {
        if (file) {
            sf_close(file);
        }
    }
};

AudioFile::AudioFile(std::unique_ptr<Handle> handle, std::string name)
    : handle_(std::move(handle))
    , name_(std::move(name)) {
    SF_INFO info{};
    sf_command(handle_->file, SFC_GET_CURRENT_SF_INFO, &info, sizeof(info));
    const auto format =
        AudioFormat::make(double(info.samplerate), info.channels > 0 ? std::uint32_t(info.channels) : 0);
    if (!format) {
        throw AudioFileError(AudioFileError::Code::unreadable, name_,
                             "it has " + std::to_string(info.channels) + " channels at " +
                                 std::to_string(info.samplerate) + " Hz");
    }
    format_ = *format;
    // The library reports a length it does not know as its largest count.
    if (info.frames >= 0 && info.frames != SF_COUNT_MAX) {
        length_ = info.frames;
    }
}

AudioFile AudioFile::open(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        throw AudioFileError(AudioFileError::Code::notFound, path.string(), {});
    }
    auto handle = std::make_unique<Handle>();
    SF_INFO info{};
    handle->file = sf_open(path.c_str(), SFM_READ, &info);
    if (!handle->file) {
        throw AudioFileError(AudioFileError::Code::unreadable, path.string(), sf_strerror(nullptr));
    }
    return AudioFile(std::move(handle), path.string());
}

AudioFile AudioFile::openMemory(std::span<const std::uint8_t> bytes, std::string name) {
    auto handle = std::make_unique<Handle>();
    handle->memory = std::make_unique<MemorySource>(MemorySource{bytes});
    handle->io = SF_VIRTUAL_IO{&MemorySource::length, &MemorySource::seek, &MemorySource::read,
                               &MemorySource::write, &MemorySource::tell};
    SF_INFO info{};
    handle->file = sf_open_virtual(&handle->io, SFM_READ, &info, handle->memory.get());
    if (!handle->file) {
        throw AudioFileError(AudioFileError::Code::unreadable, name, sf_strerror(nullptr));
    }
    return AudioFile(std::move(handle), std::move(name));
}

AudioFile::AudioFile(AudioFile&& other) noexcept = default;
AudioFile& AudioFile::operator=(AudioFile&& other) noexcept = default;
AudioFile::~AudioFile() = default;

void AudioFile::setFramePosition(std::int64_t frame) {
    if (frame < 0 || (length_ && frame > *length_)) {
        throw AudioFileError(AudioFileError::Code::badPosition, name_,
                             "frame " + std::to_string(frame) + " of " +
                                 (length_ ? std::to_string(*length_) : std::string("an unknown number")));
    }
    if (frame == position_) {
        return;
    }
    if (sf_seek(handle_->file, frame, SEEK_SET) < 0) {
        throw AudioFileError(AudioFileError::Code::badPosition, name_, sf_strerror(handle_->file));
    }
    position_ = frame;
}

std::uint32_t AudioFile::read(AudioPCMBuffer& buffer, std::uint32_t frames) {
    if (buffer.format().channelCount != format_.channelCount) {
        throw AudioFileError(AudioFileError::Code::readFailed, name_,
                             "the buffer does not have the file's channel count");
    }
    frames = std::min(frames, buffer.frameCapacity());
    const std::uint32_t channels = format_.channelCount;
    std::uint32_t done = 0;
    if (channels == 1) {
        done = std::uint32_t(
            std::max<sf_count_t>(0, sf_readf_float(handle_->file, buffer.channelData(0), frames)));
    } else {
        interleaved_.resize(std::size_t(frames) * channels);
        done = std::uint32_t(
            std::max<sf_count_t>(0, sf_readf_float(handle_->file, interleaved_.data(), frames)));
        for (std::uint32_t c = 0; c < channels; ++c) {
            float* plane = buffer.channelData(c);
            const float* source = interleaved_.data() + c;
            for (std::uint32_t i = 0; i < done; ++i) {
                plane[i] = source[std::size_t(i) * channels];
            }
        }
    }
    // A short read is the end of the file unless the library says something went wrong.
    if (done < frames) {
        const int status = sf_error(handle_->file);
        if (status != SF_ERR_NO_ERROR) {
            buffer.setFrameLength(0);
            throw AudioFileError(AudioFileError::Code::readFailed, name_, sf_error_number(status));
        }
    }
    buffer.setFrameLength(done);
    position_ += done;
    return done;
}

} // namespace System::Audio
