#pragma once

#include "System/Audio/AudioEngine.h"
#include "System/Concurrency/Executor.h"
#include "System/Concurrency/SerialQueue.h"
#include "TessarinCore/Ports/AudioCapturing.h"
#include "TessarinPlatform/Audio/CaptureBuffer.h"
#include "TessarinPlatform/Audio/RecorderError.h"

#include <memory>

namespace TessarinPlatform {

// The microphone recorder: records the default input through an audio engine while a dictation key is held
// and streams it as 16 kHz mono chunks. Its operations run one at a time on its own serial executor; the
// engine's audio thread only touches the capture buffer. After the engine reports a configuration change
// (another default input, a new format, a lost sound server) the engine is rebuilt, at once when idle, else
// at stop().
class AVAudioEngineRecorder : public TessarinCore::AudioCapturing {
public:
    using RecorderError = TessarinPlatform::RecorderError;

    // Records through PulseAudio on a serial queue of its own.
    AVAudioEngineRecorder();
    // Records through engines made by `makeEngine`, running its operations on `executor` (tests).
    AVAudioEngineRecorder(System::Audio::AudioEngineFactory makeEngine,
                          System::Concurrency::Executor& executor);
    ~AVAudioEngineRecorder() override;
    AVAudioEngineRecorder(const AVAudioEngineRecorder&) = delete;
    AVAudioEngineRecorder& operator=(const AVAudioEngineRecorder&) = delete;

    System::Concurrency::Task<void> prepare() override;
    System::Concurrency::Task<System::Concurrency::AsyncStream<TessarinCore::AudioChunk>> start() override;
    System::Concurrency::Task<TessarinCore::AudioClip> stop() override;

    static constexpr std::uint32_t tapBufferSize = 1024;

private:
    AVAudioEngineRecorder(System::Audio::AudioEngineFactory makeEngine,
                          std::unique_ptr<System::Concurrency::SerialQueue> ownQueue,
                          System::Concurrency::Executor* executor);

    // On the recorder's executor.
    void prepareEngine();
    System::Concurrency::AsyncStream<TessarinCore::AudioChunk> startRecording();
    TessarinCore::AudioClip stopRecording();
    void configurationChanged();
    void tearDownEngine();

    System::Audio::AudioEngineFactory makeEngine_;
    std::unique_ptr<System::Concurrency::SerialQueue> ownQueue_;
    System::Concurrency::Executor& executor_;
    // Jobs posted by the configuration handler check it, so none runs after the recorder is gone.
    std::shared_ptr<bool> lifetime_ = std::make_shared<bool>(true);

    std::unique_ptr<System::Audio::AudioEngine> engine_;
    bool isCapturing_ = false;
    bool needsRebuild_ = false;
    std::unique_ptr<System::Audio::ConfigurationObservation> configurationObserver_;
    std::shared_ptr<CaptureBuffer> capture_ = std::make_shared<CaptureBuffer>();
};

} // namespace TessarinPlatform
