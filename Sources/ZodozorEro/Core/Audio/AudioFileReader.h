#pragma once

#include "System/Audio/AudioConverter.h"
#include "System/Audio/AudioFile.h"
#include "System/Audio/AudioPCMBuffer.h"
#include "ZodozorEro/Core/Audio/AudioInputOptions.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ZodozorEro {

// Opens the audio file at `path`. Throws WhisperError (loadAudioFailed): "Resource path does not exist " and
// the path when nothing is there, else the file's own error, which names it and says why.
System::Audio::AudioFile openAudioFile(const std::string& path);

// Reads an audio file front to back as mono samples at one rate. Reading goes in blocks of the read size,
// counted from where reading began; each block's channels are folded with a gain of its own, and one
// converter takes every block, so a file read over several calls gives the samples of a single pass. A file
// already at the target rate goes through no converter. Not thread-safe; the file must outlive the reader.
class AudioFileReader {
public:
    // Reads from the file's read position up to `endFrame`, or to the end of the data when absent. Throws
    // WhisperError (loadAudioFailed) when `readSize` is 0 or the buffers or the converter can't be made (the
    // reason logged).
    AudioFileReader(System::Audio::AudioFile& file, const ChannelMode& channelMode, double outputRate,
                    std::uint32_t readSize, std::optional<std::int64_t> endFrame);
    ~AudioFileReader();
    AudioFileReader(const AudioFileReader&) = delete;
    AudioFileReader& operator=(const AudioFileReader&) = delete;

    // Reads whole blocks until the file's read position reaches `frame` or the end, appending their samples
    // to `samples`; at the end the converter gives out what it still holds. Data damaged or cut short ends
    // there, what came before it kept and the damage logged. Throws WhisperError (loadAudioFailed): "Failed
    // to read audio file: " and the file's error (naming it, and why) when the file can't be read, "Failed to
    // process audio buffer of " the file and the converter's reason when conversion fails.
    void readUntil(std::int64_t frame, std::vector<float>& samples);
    void readToEnd(std::vector<float>& samples);
    // The samples the rest of the read should give, to reserve room for: what the file's header says, but
    // never more than one frame for every byte of the file. A header may overstate its length (a few
    // kilobytes of FLAC can claim 2^32 - 1 frames); a file that holds more frames than bytes (compressed)
    // has its samples grow as they are read.
    std::size_t expectedSamples() const;
    // Everything up to the end is read and given out.
    bool atEnd() const { return atEnd_; }

private:
    WhisperError conversionFailed(const std::string& reason) const;
    void append(const float* data, std::uint32_t frames, std::vector<float>& samples);
    void convert(const System::Audio::AudioPCMBuffer& mono, std::vector<float>& samples);
    void finish(std::vector<float>& samples);

    System::Audio::AudioFile& file_;
    ChannelMode channelMode_;
    double outputRate_;
    std::optional<std::int64_t> endFrame_;
    std::int64_t startFrame_;
    std::int64_t framesRead_ = 0;
    std::int64_t samplesOut_ = 0;
    bool atEnd_ = false;
    std::optional<System::Audio::AudioPCMBuffer> readBuffer_;
    std::optional<System::Audio::AudioPCMBuffer> monoBuffer_;
    std::optional<System::Audio::AudioPCMBuffer> converted_;
    std::unique_ptr<System::Audio::AudioConverter> converter_; // none when the rates are equal
};

} // namespace ZodozorEro
