#pragma once

#include "System/Concurrency/Task.h"
#include "TessarinCore/Domain/Transcription.h"
#include "TessarinCore/Ports/TranscriptionSession.h"

#include <functional>
#include <memory>
#include <set>

namespace TessarinCore {

// A speech engine. Its identity and languages are fixed for its life; the router chooses by them.
class SpeechTranscribing {
public:
    // Called from any thread.
    using ProgressHandler = std::function<void(const EnginePreparation&)>;

    virtual ~SpeechTranscribing() = default;

    virtual EngineID engine() const = 0;
    virtual std::set<DictationLanguage> supportedLanguages() const = 0;

    // Makes the engine ready for the language (downloads, loading); may be called more than once. Throws when
    // it cannot.
    virtual System::Concurrency::Task<void> prepare(DictationLanguage language, ProgressHandler progress) = 0;
    // The same, for callers that do not follow progress: every report is dropped, errors pass through.
    // (Implementations that override the other overload should add `using SpeechTranscribing::prepare;`.)
    System::Concurrency::Task<void> prepare(DictationLanguage language) {
        return prepare(language, [](const EnginePreparation&) {});
    }

    // Opens one session for one dictation; throws when it cannot.
    virtual System::Concurrency::Task<std::shared_ptr<TranscriptionSession>>
    beginSession(TranscriptionConfig config) = 0;
};

} // namespace TessarinCore
