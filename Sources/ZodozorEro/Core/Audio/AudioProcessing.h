#pragma once

#include "System/Concurrency/AsyncThrowingStream.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace ZodozorEro {

// A platform audio device identifier (a sound-server source index).
using DeviceID = std::uint32_t;

// Receives every captured block of 16 kHz mono samples, on the audio thread.
using AudioBufferCallback = std::function<void(const std::vector<float>&)>;

using AudioSampleStream = System::Concurrency::AsyncThrowingStream<std::vector<float>>;

// The audio stage of the Whisper pipeline: live capture into a sample store, and model windows cut from
// sample arrays. Files are loaded through AudioProcessor's static operations.
class AudioProcessing {
public:
    virtual ~AudioProcessing() = default;

    // Every sample captured since the last start, less what was purged.
    virtual std::vector<float> audioSamples() const = 0;
    // Drops the oldest samples so that at most `keepingLast` remain.
    virtual void purgeAudioSamples(std::int64_t keepingLast) = 0;
    // One loudness value in [0, 1] per captured block.
    virtual std::vector<float> relativeEnergy() const = 0;
    virtual std::int64_t relativeEnergyWindow() const = 0;
    virtual void setRelativeEnergyWindow(std::int64_t window) = 0;

    // Clears the stores and records from the device (the default input when absent); `callback` gets every
    // block. Throws when the engine can't start.
    virtual void startRecordingLive(std::optional<DeviceID> inputDeviceID = std::nullopt,
                                    AudioBufferCallback callback = {}) = 0;
    // Records as startRecordingLive does and streams every block. Ending the stream stops the recording; a
    // failed start ends the stream with the error.
    virtual std::pair<AudioSampleStream, AudioSampleStream::Continuation>
    startStreamingRecordingLive(std::optional<DeviceID> inputDeviceID = std::nullopt) = 0;
    virtual void pauseRecording() = 0;
    virtual void stopRecording() = 0;
    // Goes on recording into the same stores; another device gets a new engine. An absent callback keeps
    // the one set before.
    virtual void resumeRecordingLive(std::optional<DeviceID> inputDeviceID = std::nullopt,
                                     AudioBufferCallback callback = {}) = 0;

    // The model window of `length` samples from `startAt`, zero-padded at the end; nothing when `startAt`
    // is outside the samples. Throws WhisperError when `length` is not positive.
    virtual std::optional<std::vector<float>> padOrTrim(const std::vector<float>& audioArray, std::int64_t startAt,
                                                        std::int64_t length) = 0;
};

} // namespace ZodozorEro
