#pragma once

#include "System/Concurrency/Executor.h"
#include "System/Log/ErrorDescription.h"
#include "System/Speech/RecognitionBackend.h"
#include "System/Speech/SpeechModule.h"
#include "TessarinCore/Ports/SpeechTranscribing.h"

#include <exception>
#include <memory>
#include <string>

namespace TessarinPlatform {

// The on-device speech engine: streams the recorder's audio into a speech analyzer while the key is held and
// returns what it recognized when the dictation ends. English and Arabic, each when this machine has a model
// for it (PocketSphinx's installed models by default).
class AppleSpeechTranscriber : public TessarinCore::SpeechTranscribing {
public:
    class TranscriberError : public System::Log::DescribedError {
    public:
        enum class Case { unsupportedLanguage };

        static TranscriberError unsupportedLanguage(TessarinCore::DictationLanguage language);

        Case errorCase() const { return case_; }
        TessarinCore::DictationLanguage language() const { return language_; }

        bool operator==(const TranscriberError& other) const {
            return case_ == other.case_ && language_ == other.language_;
        }

    private:
        TranscriberError(Case errorCase, TessarinCore::DictationLanguage language);
        Case case_;
        TessarinCore::DictationLanguage language_;
    };

    // PocketSphinx on the shared speech worker.
    AppleSpeechTranscriber();
    // `worker` runs installation and recognition; `background` runs the tasks that collect results and report
    // download progress (tests pass manual executors).
    AppleSpeechTranscriber(std::shared_ptr<System::Speech::RecognitionBackend> backend,
                           System::Concurrency::Executor& worker, System::Concurrency::Executor& background);

    TessarinCore::EngineID engine() const override { return TessarinCore::EngineID::appleSpeech; }
    std::set<TessarinCore::DictationLanguage> supportedLanguages() const override {
        return {TessarinCore::DictationLanguage::english, TessarinCore::DictationLanguage::arabic};
    }

    using SpeechTranscribing::prepare;
    System::Concurrency::Task<void> prepare(TessarinCore::DictationLanguage language,
                                            ProgressHandler progress) override;
    System::Concurrency::Task<std::shared_ptr<TessarinCore::TranscriptionSession>>
    beginSession(TessarinCore::TranscriptionConfig config) override;

private:
    struct Module {
        std::shared_ptr<System::Speech::SpeechModule> module;
        System::Concurrency::TaskHandle<std::string> results;
    };
    Module makeModule(TessarinCore::DictationLanguage language);

    std::shared_ptr<System::Speech::RecognitionBackend> backend_;
    System::Concurrency::Executor& worker_;
    System::Concurrency::Executor& background_;
};

} // namespace TessarinPlatform
