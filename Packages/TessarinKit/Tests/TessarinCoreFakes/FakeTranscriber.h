#pragma once

#include "FakeOperation.h"
#include "TessarinCore/Ports/SpeechTranscribing.h"
#include "TessarinCore/Ports/TranscriptionSession.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace TessarinCore::Fakes {

class FakeTranscriber;

// One session of a FakeTranscriber: records what the coordinator hands it; its operations are the
// transcriber's, so a test scripts them before the session exists.
class FakeTranscriptionSession final : public TranscriptionSession {
public:
    FakeTranscriptionSession(FakeTranscriber& transcriber, TranscriptionConfig config)
        : config(std::move(config))
        , transcriber_(transcriber) {}

    System::Concurrency::Task<void> append(AudioChunk chunk) override;
    System::Concurrency::Task<Transcript> finish(AudioClip clip) override;
    System::Concurrency::Task<void> cancel() override;

    TranscriptionConfig config;
    std::vector<AudioChunk> appended;
    std::vector<AudioClip> finishedWith;
    int cancels = 0;

private:
    FakeTranscriber& transcriber_; // outlives its sessions: it keeps them
};

// An engine that answers `text` for every clip unless the test scripts otherwise.
class FakeTranscriber final : public SpeechTranscribing {
public:
    FakeTranscriber(EngineID id, std::set<DictationLanguage> languages, std::string text = "hello world")
        : text(std::move(text))
        , id_(id)
        , languages_(std::move(languages)) {}

    // The default answer of finish.
    std::string text;
    // Sent to the progress callback of every preparation.
    std::vector<EnginePreparation> reports;
    std::vector<DictationLanguage> preparedLanguages;
    // Every session opened, in order.
    std::vector<std::shared_ptr<FakeTranscriptionSession>> sessions;

    FakeOperation<void> preparing;
    FakeOperation<void> opening;
    FakeOperation<void> appending;
    FakeOperation<Transcript> finishing;
    FakeOperation<void> cancelling;

    EngineID engine() const override { return id_; }
    std::set<DictationLanguage> supportedLanguages() const override { return languages_; }

    using SpeechTranscribing::prepare;
    System::Concurrency::Task<void> prepare(DictationLanguage language, ProgressHandler progress) override;
    System::Concurrency::Task<std::shared_ptr<TranscriptionSession>>
    beginSession(TranscriptionConfig config) override;

    // A transcript as this engine would give it.
    Transcript transcript(std::string answer) const {
        return Transcript{std::move(answer), std::nullopt, id_};
    }

private:
    EngineID id_;
    std::set<DictationLanguage> languages_;
};

} // namespace TessarinCore::Fakes
