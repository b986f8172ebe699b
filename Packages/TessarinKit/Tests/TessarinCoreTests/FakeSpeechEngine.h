#pragma once

#include "TessarinCore/Ports/SpeechTranscribing.h"

#include <exception>
#include <stdexcept>
#include <vector>

namespace TessarinCore::Testing {

// An engine that only has an identity and languages, and whose preparation sends the given reports and then
// fails with the given error (if any).
class FakeSpeechEngine final : public SpeechTranscribing {
public:
    FakeSpeechEngine(EngineID id, std::set<DictationLanguage> languages)
        : id_(id)
        , languages_(std::move(languages)) {}

    std::vector<EnginePreparation> reports;
    std::exception_ptr preparationError;

    EngineID engine() const override { return id_; }
    std::set<DictationLanguage> supportedLanguages() const override { return languages_; }

    using SpeechTranscribing::prepare;
    System::Concurrency::Task<void> prepare(DictationLanguage, ProgressHandler progress) override {
        for (const EnginePreparation& report : reports) {
            progress(report);
        }
        if (preparationError) {
            std::rethrow_exception(preparationError);
        }
        co_return;
    }

    System::Concurrency::Task<std::shared_ptr<TranscriptionSession>>
    beginSession(TranscriptionConfig) override {
        throw std::logic_error("FakeSpeechEngine opens no sessions");
        co_return nullptr;
    }

private:
    EngineID id_;
    std::set<DictationLanguage> languages_;
};

} // namespace TessarinCore::Testing
