#pragma once

#include "System/Audio/AudioConverter.h"
#include "System/Speech/SpeechAnalyzer.h"
#include "TessarinCore/Ports/TranscriptionSession.h"

#include <memory>
#include <mutex>
#include <optional>

namespace TessarinPlatform {

// One dictation on the on-device engine: chunks go into the running analyzer as they come; finish() ends the
// input, finalizes and returns the joined results. Calls are serialized by a mutex; none is held across a
// wait.
class AppleSpeechSession : public TessarinCore::TranscriptionSession {
public:
    AppleSpeechSession(std::unique_ptr<System::Speech::SpeechAnalyzer> analyzer,
                       System::Concurrency::AsyncStream<System::Speech::AnalyzerInput>::Continuation inputs,
                       System::Concurrency::TaskHandle<std::string> results,
                       std::optional<System::Audio::AudioFormat> analyzerFormat,
                       TessarinCore::DictationLanguage language);

    System::Concurrency::Task<void> append(TessarinCore::AudioChunk chunk) override;
    System::Concurrency::Task<TessarinCore::Transcript> finish(TessarinCore::AudioClip clip) override;
    System::Concurrency::Task<void> cancel() override;

private:
    // 16 kHz mono samples as a buffer in the analyzer's format; nothing for no samples or a failed
    // conversion.
    std::optional<System::Audio::AudioPCMBuffer> makeBuffer(const std::vector<float>& samples);

    std::mutex mutex_;
    std::unique_ptr<System::Speech::SpeechAnalyzer> analyzer_;
    System::Concurrency::AsyncStream<System::Speech::AnalyzerInput>::Continuation inputs_;
    System::Concurrency::TaskHandle<std::string> results_;
    std::optional<System::Audio::AudioFormat> analyzerFormat_;
    TessarinCore::DictationLanguage language_;
    std::unique_ptr<System::Audio::AudioConverter> converter_;
    bool receivedAudio_ = false;
};

} // namespace TessarinPlatform
