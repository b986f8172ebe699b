#include "System/Audio/AudioFile.h"

#include <sndfile.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    int descriptor = -1; // of a file opened by path; the library reads it but leaves it to us to close
    std::unique_ptr<MemorySource> memory;
    SF_VIRTUAL_IO io{};
    ~Handle() {
        if (file) {
            sf_close(file);
        }
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
};

AudioFile::AudioFile(std::unique_ptr<Handle> handle, std::string name, std::int64_t byteSize)
    : handle_(std::move(handle))
    , name_(std::move(name))
    , byteSize_(byteSize) {
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
    const auto notRegular = [&] {
        return AudioFileError(AudioFileError::Code::unreadable, path.string(), "it is not a regular file");
    };
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            throw AudioFileError(AudioFileError::Code::notFound, path.string(), {});
        }
        throw AudioFileError(AudioFileError::Code::unreadable, path.string(), std::strerror(errno));
    }
    if (!S_ISREG(status.st_mode)) {
        throw notRegular();
    }
    auto handle = std::make_unique<Handle>();
    // Without waiting, and checked again once open: the path may have been replaced since.
    handle->descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (handle->descriptor < 0) {
        throw AudioFileError(AudioFileError::Code::unreadable, path.string(), std::strerror(errno));
    }
    if (::fstat(handle->descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        throw notRegular();
    }
    SF_INFO info{};
    handle->file = sf_open_fd(handle->descriptor, SFM_READ, &info, SF_FALSE);
    if (!handle->file) {
        throw AudioFileError(AudioFileError::Code::unreadable, path.string(), sf_strerror(nullptr));
    }
    return AudioFile(std::move(handle), path.string(), std::int64_t(status.st_size));
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
    const auto size = std::int64_t(bytes.size());
    return AudioFile(std::move(handle), std::move(name), size);
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
    damage_.reset();
}

std::uint32_t AudioFile::read(AudioPCMBuffer& buffer, std::uint32_t frames) {
    if (buffer.format().channelCount != format_.channelCount) {
        throw AudioFileError(AudioFileError::Code::readFailed, name_,
                             "the buffer does not have the file's channel count");
    }
    frames = std::min(frames, buffer.frameCapacity());
    if (damage_) {
        buffer.setFrameLength(0);
        return 0;
    }
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
    // A short read is the end of the file unless the library says something went wrong. What it decoded
    // before it went wrong is the file's data, as with a file cut at a frame's end.
    if (done < frames) {
        const int status = sf_error(handle_->file);
        if (status != SF_ERR_NO_ERROR) {
            if (!gaveFrames_ && done == 0) {
                buffer.setFrameLength(0);
                throw AudioFileError(AudioFileError::Code::readFailed, name_, sf_error_number(status));
            }
            damage_ = sf_error_number(status);
        }
    }
    gaveFrames_ = gaveFrames_ || done > 0;
    buffer.setFrameLength(done);
    position_ += done;
    return done;
}

} // namespace System::Audio
