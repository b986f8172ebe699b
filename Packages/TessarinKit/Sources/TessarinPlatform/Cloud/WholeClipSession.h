#pragma once

#include "TessarinCore/Ports/TranscriptionSession.h"

#include <memory>

namespace TessarinPlatform {

// The session of an engine that transcribes whole clips: the audio that arrives while the key is held is
// dropped, and each finish uploads the clip it is given (a second finish uploads again). It holds its engine.
template <class Engine>
class WholeClipSession final : public TessarinCore::TranscriptionSession {
public:
    WholeClipSession(std::shared_ptr<Engine> transcriber, TessarinCore::TranscriptionConfig config)
        : transcriber_(std::move(transcriber))
        , config_(std::move(config)) {}

    System::Concurrency::Task<void> append(TessarinCore::AudioChunk) override { co_return; }
    System::Concurrency::Task<TessarinCore::Transcript> finish(TessarinCore::AudioClip clip) override {
        co_return co_await transcriber_->transcribe(std::move(clip), config_);
    }
    System::Concurrency::Task<void> cancel() override { co_return; }

private:
    std::shared_ptr<Engine> transcriber_;
    TessarinCore::TranscriptionConfig config_;
};

} // namespace TessarinPlatform
