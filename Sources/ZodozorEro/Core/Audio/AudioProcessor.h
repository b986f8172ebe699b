#pragma once

#include "System/Audio/AudioConverter.h"
#include "System/Audio/AudioEngine.h"
#include "System/Audio/AudioFile.h"
#include "System/Audio/AudioPCMBuffer.h"
#include "System/Concurrency/SerialQueue.h"
#include "System/Concurrency/Task.h"
#include "ZodozorEro/Core/Audio/AudioInputOptions.h"
#include "ZodozorEro/Core/Audio/AudioProcessing.h"
#include "ZodozorEro/Core/Audio/IncrementalFileStream.h"
#include "ZodozorEro/Core/Audio/VoiceActivityDetector.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ZodozorEro {

// An input-capable audio device.
struct AudioDevice {
    DeviceID id = 0;
    std::string name; // empty when the system gives none

    bool operator==(const AudioDevice&) const = default;
};

// The energy record of one captured block.
struct AudioEnergy {
    float rel = 0; // loudness against the quietest recent blocks, 0 ... 1
    float avg = 0; // root mean square
    float max = 0; // largest magnitude
    float min = 0; // smallest magnitude

    bool operator==(const AudioEnergy&) const = default;
};

struct EnergyLevels {
    float avg = 0;
    float max = 0;
    float min = 0;
};

// The outcome of loading one of several files: its samples, or why it failed.
struct AudioLoadResult {
    std::vector<float> samples;
    std::exception_ptr error; // null on success

    bool succeeded() const { return !error; }
};

// A model window as an image: one 32-bit pixel per sample, the sample's own bits (8 bits per component,
// little-endian, premultiplied alpha first).
struct WaveformImage {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t bytesPerRow = 0;
    std::vector<std::uint32_t> pixels;
};

// Turns audio files and the microphone into 16 kHz mono 32-bit float samples. The file operations are static
// and stateless, safe on any thread. The live side records through an audio engine whose tap thread is the
// only writer of the sample and energy stores; readers on other threads get copies.
class AudioProcessor : public AudioProcessing {
public:
    static constexpr double sampleRate = 16'000;
    // Frames read and converted at a time when a file needs converting: 30 s at 44.1 kHz.
    static constexpr std::uint32_t defaultAudioReadFrameSize = 1'323'000;
    // The array loader walks a file in segments of this many seconds.
    static constexpr double arraySegmentSeconds = 600;

    // Records through PulseAudio.
    AudioProcessor();
    // Records through engines made by `makeEngine` (tests use System::Audio::FakeAudioDevice).
    explicit AudioProcessor(System::Audio::AudioEngineFactory makeEngine);
    ~AudioProcessor() override;
    AudioProcessor(const AudioProcessor&) = delete;
    AudioProcessor& operator=(const AudioProcessor&) = delete;

    // ---- Files ----

    // The file at `path` (or its window from `startTime` to `endTime`, seconds) as one 16 kHz mono buffer.
    // Throws WhisperError (loadAudioFailed) for a missing path, an unreadable file (naming it) or a window
    // that starts after it ends.
    static System::Audio::AudioPCMBuffer loadAudio(const std::string& path,
                                                   const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                                   std::optional<double> startTime = std::nullopt,
                                                   std::optional<double> endTime = std::nullopt,
                                                   std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);
    // The same from an open file; moves its read position.
    static System::Audio::AudioPCMBuffer loadAudio(System::Audio::AudioFile& file,
                                                   const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                                   std::optional<double> startTime = std::nullopt,
                                                   std::optional<double> endTime = std::nullopt,
                                                   std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);
    // loadAudio(path) of the whole file with all channels summed, run on a thread of its own so that the
    // caller's executor goes on meanwhile; its errors are rethrown.
    static System::Concurrency::Task<System::Audio::AudioPCMBuffer> loadAudioAsync(std::string path);
    // As loadAudio, as an array, reading the file in segments of arraySegmentSeconds.
    static std::vector<float> loadAudioAsFloatArray(const std::string& path,
                                                    const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                                    std::optional<double> startTime = std::nullopt,
                                                    std::optional<double> endTime = std::nullopt);
    // Loads the files at once on several threads; one result per path, in the order of the paths. One
    // failing file does not stop the others.
    static std::vector<AudioLoadResult> loadAudio(const std::vector<std::string>& paths,
                                                  const ChannelMode& channelMode = ChannelMode::sumChannels());

    // Reads `frameCount` frames (the rest of the file when absent) from the file's read position in blocks
    // of `maxReadFrameSize`, folds and converts each. Nothing, with the reason logged, when it fails.
    static std::optional<System::Audio::AudioPCMBuffer>
    resampleAudio(System::Audio::AudioFile& file, double toSampleRate, std::uint32_t channelCount,
                  const ChannelMode& channelMode, std::optional<std::uint32_t> frameCount,
                  std::uint32_t maxReadFrameSize);
    // One buffer converted as a whole by a converter of its own; nothing, logged, when that fails.
    static std::optional<System::Audio::AudioPCMBuffer>
    resampleAudio(const System::Audio::AudioPCMBuffer& buffer, double toSampleRate, std::uint32_t channelCount);
    // Converts `buffer` with `converter`, handing the buffer over exactly once. With `endOfInput` the
    // resampler is flushed (a whole signal); without it the resampler keeps its state for the next block of a
    // stream. Throws WhisperError (audioProcessingFailed).
    static System::Audio::AudioPCMBuffer resampleBuffer(const System::Audio::AudioPCMBuffer& buffer,
                                                        System::Audio::AudioConverter& converter,
                                                        bool endOfInput = true);
    // One channel out of many (a copy when the buffer has one); nothing, logged, when it can't be made.
    static std::optional<System::Audio::AudioPCMBuffer> convertToMono(const System::Audio::AudioPCMBuffer& buffer,
                                                                      const ChannelMode& mode);
    // The first channel as an array, copied in runs of `chunkSize` frames; each run of the source is cleared
    // after it is copied. Throws WhisperError (audioProcessingFailed) when `chunkSize` is not positive.
    static std::vector<float> convertBufferToArray(System::Audio::AudioPCMBuffer& buffer, std::int64_t chunkSize);

    // The model window of `length` samples of `audioArray` from `startAt`, zero-padded; nothing (logged) when
    // `startAt` is outside the array. Throws WhisperError (audioProcessingFailed) when `length` is not
    // positive.
    static std::optional<std::vector<float>> padOrTrimAudio(const std::vector<float>& audioArray, std::int64_t startAt,
                                                            std::int64_t length, bool saveSegment = false);
    std::optional<std::vector<float>> padOrTrim(const std::vector<float>& audioArray, std::int64_t startAt,
                                                std::int64_t length) override;
    // Throws WhisperError (audioProcessingFailed) when the size is not positive or asks for more pixels than
    // there are samples.
    static WaveformImage createWaveformImage(const std::vector<float>& audio, double width, double height);

    // Reads the file a slice of `chunkDurationSeconds` at a time and hands out pieces of at most
    // `maxChunkLength` samples cut at silences, at most `maxBufferedChunks` of them not yet taken. Throws
    // WhisperError (loadAudioFailed) at once for a slice length not above 0, a limit below 1, a piece length
    // not above the chunker's one-second padding, or a missing file.
    static IncrementalFileStream loadFileIncrementally(const std::string& path, const ChannelMode& channelMode,
                                                       double chunkDurationSeconds, std::int64_t maxBufferedChunks,
                                                       std::int64_t maxChunkLength,
                                                       std::shared_ptr<const VoiceActivityDetector> vad);

    // ---- Live capture ----

    std::vector<float> audioSamples() const override;
    std::size_t audioSampleCount() const;
    void purgeAudioSamples(std::int64_t keepingLast) override;
    std::vector<AudioEnergy> audioEnergy() const;
    std::vector<float> relativeEnergy() const override;
    std::int64_t relativeEnergyWindow() const override;
    // Throws std::invalid_argument when not positive.
    void setRelativeEnergyWindow(std::int64_t window) override;
    std::int64_t minBufferLength() const;
    // The tap's block size in frames; takes effect at the next engine. Throws std::invalid_argument outside
    // 1 ... 2^32 - 1.
    void setMinBufferLength(std::int64_t frames);
    bool isInputSuppressed() const;
    // While suppressed every captured block is replaced by zeros, so timing stays continuous.
    void setInputSuppressed(bool suppressed);
    void setAudioBufferCallback(AudioBufferCallback callback);
    // An engine is held (recording or paused).
    bool hasEngine() const;

    void startRecordingLive(std::optional<DeviceID> inputDeviceID = std::nullopt,
                            AudioBufferCallback callback = {}) override;
    std::pair<AudioSampleStream, AudioSampleStream::Continuation>
    startStreamingRecordingLive(std::optional<DeviceID> inputDeviceID = std::nullopt) override;
    void pauseRecording() override;
    // Once it returns no block is recorded or handed to the callback any more. Safe from the callback too:
    // there the engine, which can't be taken apart from its own thread, is let go shortly afterwards on
    // another thread (hasEngine() stays true till then). The processor must not be destroyed from its own
    // callback.
    void stopRecording() override;
    void resumeRecordingLive(std::optional<DeviceID> inputDeviceID = std::nullopt,
                             AudioBufferCallback callback = {}) override;

    // The input-capable devices of the sound server (empty, logged, when it can't be reached).
    static std::vector<AudioDevice> getAudioDevices();
    // Recording needs no grant on this platform: true when the sound server answers.
    static bool requestRecordPermission();

    static EnergyLevels calculateEnergy(std::span<const float> samples);
    static float calculateAverageEnergy(std::span<const float> samples);
    // Loudness in [0, 1], linear in decibels from `reference` (-60 dB when absent) up to full scale.
    static float calculateRelativeEnergy(std::span<const float> samples, std::optional<float> reference);
    // Whether the newest `nextBufferInSeconds` of relative energies (one value per 0.1 s), less their last
    // second, hold a value above `silenceThreshold`. Throws std::invalid_argument for a negative or
    // non-finite time.
    static bool isVoiceDetected(std::span<const float> relativeEnergies, float nextBufferInSeconds,
                                float silenceThreshold);
    // Frame i measures [i x frameLengthSamples, + frameLengthSamples + frameOverlapSamples) by RMS; voiced
    // when above the threshold. Throws std::invalid_argument when a frame would start outside the samples.
    static std::vector<bool> calculateVoiceActivityInChunks(std::span<const float> samples, std::int64_t chunkCount,
                                                            std::int64_t frameLengthSamples,
                                                            std::int64_t frameOverlapSamples, float energyThreshold);
    // The voiced spans the default energy detector finds.
    static std::vector<SampleSpan> calculateNonSilentChunks(std::span<const float> samples);

private:
    struct Lifetime;

    std::unique_ptr<System::Audio::AudioEngine> setupEngine(std::optional<DeviceID> inputDeviceID);
    void stopEngineLocked();
    // stopRecording on the audio thread of the engine numbered `generation`.
    void stopFromTap(std::uint64_t generation);
    void handleTapBuffer(const System::Audio::AudioPCMBuffer& buffer, System::Audio::AudioConverter& converter);
    void processBuffer(std::vector<float> buffer);

    System::Audio::AudioEngineFactory makeEngine_;
    std::shared_ptr<Lifetime> lifetime_;

    // The owner's side: the engine and what was asked of it.
    mutable std::mutex engineMutex_;
    std::unique_ptr<System::Audio::AudioEngine> audioEngine_;
    std::optional<DeviceID> lastInputDevice_;
    std::uint64_t engineGeneration_ = 0; // numbers the engines; the newest made is audioEngine_

    // A stop on the audio thread closes the tap of its engine at once and leaves the rest to `stopper_`.
    std::atomic<std::uint64_t> closedGeneration_{0};
    std::mutex stopperMutex_;
    std::unique_ptr<System::Concurrency::SerialQueue> stopper_;

    // Shared with the tap thread.
    mutable std::mutex storeMutex_;
    std::vector<float> audioSamples_;
    std::vector<AudioEnergy> audioEnergy_;
    AudioBufferCallback audioBufferCallback_;
    std::int64_t relativeEnergyWindow_ = 20;
    std::int64_t minBufferLength_ = 1600;
    bool isInputSuppressed_ = false;
};

} // namespace ZodozorEro
