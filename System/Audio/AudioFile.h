#pragma once

#include "System/Audio/AudioFormat.h"
#include "System/Audio/AudioPCMBuffer.h"
#include "System/Log/ErrorDescription.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace System::Audio {

// Why an audio file could not be opened or read. The sentence names the file.
class AudioFileError : public System::Log::DescribedError {
public:
    enum class Code {
        notFound,    // nothing at the path
        unreadable,  // not an audio file, a format the library does not read, or a damaged header
        readFailed,  // the samples could not be read
        badPosition, // a read position outside the file
    };

    AudioFileError(Code code, std::string file, std::string detail);

    Code code() const { return code_; }
    const std::string& file() const { return file_; }
    const std::string& detail() const { return detail_; }

private:
    Code code_;
    std::string file_;
    std::string detail_;
};

// An audio file opened for reading (WAV, FLAC, Ogg, MP3 and whatever else libsndfile reads). Samples come out
// as 32-bit float planes, one per channel, integer formats scaled to [-1, 1). Not thread-safe: one owner
// reads it.
class AudioFile {
public:
    // Throws AudioFileError; unreadable for a path that is no regular file (a FIFO, a folder, a device),
    // which is refused without being opened, since opening a FIFO waits for a writer.
    static AudioFile open(const std::filesystem::path& path);
    // Reads the file from memory; `bytes` must outlive the file. `name` stands for the file in errors.
    static AudioFile openMemory(std::span<const std::uint8_t> bytes, std::string name);

    AudioFile(AudioFile&& other) noexcept;
    AudioFile& operator=(AudioFile&& other) noexcept;
    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;
    ~AudioFile();

    const std::string& name() const { return name_; }
    // The file's own rate and channel count; reading delivers the same layout as float planes.
    const AudioFormat& fileFormat() const { return format_; }
    const AudioFormat& processingFormat() const { return format_; }
    // Length in frames, as the file's header states it; nothing when the header does not know it (a stream
    // written without seeking back, or a file cut short): then only reading to the end tells.
    const std::optional<std::int64_t>& length() const { return length_; }

    std::int64_t framePosition() const { return position_; }
    // Throws AudioFileError (badPosition) outside 0 ... length(), or where the library cannot seek to.
    void setFramePosition(std::int64_t frame);

    // The size of the file in bytes, as it was when opened.
    std::int64_t byteSize() const { return byteSize_; }

    // Reads up to `frames` frames (at most the buffer's capacity) into `buffer` from its frame 0, sets its
    // frame length to what was read and advances the position. Fewer frames than asked, or none, mean the
    // file ended. The buffer must be in processingFormat(). A file damaged or cut in its data ends where
    // the library stops decoding it: the frames decoded before are given, as at the end of a file, and
    // damage() says why. Throws AudioFileError (readFailed) when the library fails before giving any frame.
    std::uint32_t read(AudioPCMBuffer& buffer, std::uint32_t frames);
    // Why the data ended before the end of the file, once a read has met damage.
    const std::optional<std::string>& damage() const { return damage_; }

private:
    struct Handle;
    AudioFile(std::unique_ptr<Handle> handle, std::string name, std::int64_t byteSize);

    std::unique_ptr<Handle> handle_;
    std::string name_;
    AudioFormat format_;
    std::optional<std::int64_t> length_;
    std::int64_t byteSize_ = 0;
    std::int64_t position_ = 0;
    bool gaveFrames_ = false;
    std::optional<std::string> damage_;
    std::vector<float>
        interleaved_; // the library reads interleaved frames; kept to spare an allocation per read
};

} // namespace System::Audio
