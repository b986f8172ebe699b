#pragma once

#include "System/Concurrency/AsyncStream.h"
#include "System/Concurrency/Task.h"
#include "System/Speech/Locale.h"
#include "System/Speech/RecognitionBackend.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace System::Speech {

// One piece of recognized text.
struct SpeechResult {
    std::string text;
    bool operator==(const SpeechResult&) const = default;
};

// The results of one module, in the order the analyzer produced them. One consumer.
class SpeechResults {
public:
    using Item = std::variant<SpeechResult, std::exception_ptr>;

    explicit SpeechResults(Concurrency::AsyncStream<Item> stream)
        : stream_(std::move(stream)) {}

    // The next result; nothing once the analysis has ended (or the awaiting task was cancelled). Throws the
    // error that ended the analysis.
    Concurrency::Task<std::optional<SpeechResult>> next();

private:
    Concurrency::AsyncStream<Item> stream_;
};

// A recognizer for one locale that joins an analyzer and receives what it recognizes.
class SpeechModule {
public:
    virtual ~SpeechModule() = default;
    SpeechModule(const SpeechModule&) = delete;
    SpeechModule& operator=(const SpeechModule&) = delete;

    ModuleKind kind() const { return kind_; }
    const Locale& locale() const { return locale_; }
    const std::shared_ptr<RecognitionBackend>& backend() const { return backend_; }

    // The module's results. The stream can be taken once; later calls give an already-ended stream.
    SpeechResults results();

    // The analyzer's side.
    void deliver(SpeechResult result);
    // Ends the results; with an error, the consumer receives it after the results delivered so far.
    void finishResults(std::exception_ptr error = nullptr);

protected:
    SpeechModule(std::shared_ptr<RecognitionBackend> backend, ModuleKind kind, Locale locale);
    // Of the backend's locales for `kind`: `locale` itself, else one of the same language, else nothing.
    static std::optional<Locale> equivalentLocale(const RecognitionBackend& backend, ModuleKind kind,
                                                  const Locale& locale);

private:
    std::shared_ptr<RecognitionBackend> backend_;
    ModuleKind kind_;
    Locale locale_;
    std::optional<Concurrency::AsyncStream<SpeechResults::Item>> stream_;
    Concurrency::AsyncStream<SpeechResults::Item>::Continuation continuation_;
};

// Plain transcription of speech in one locale.
class SpeechTranscriber : public SpeechModule {
public:
    enum class Preset { transcription };

    // The supported locale equivalent to `locale`, or nothing when it can't be transcribed on this machine.
    static std::optional<Locale> supportedLocale(const RecognitionBackend& backend, const Locale& locale);

    SpeechTranscriber(std::shared_ptr<RecognitionBackend> backend, Locale locale, Preset preset);
};

// Dictation: transcription that may also punctuate.
class DictationTranscriber : public SpeechModule {
public:
    struct TranscriptionOptions {
        bool punctuation = false;
    };

    static std::optional<Locale> supportedLocale(const RecognitionBackend& backend, const Locale& locale);

    DictationTranscriber(std::shared_ptr<RecognitionBackend> backend, Locale locale,
                         TranscriptionOptions options);

    const TranscriptionOptions& transcriptionOptions() const { return options_; }

private:
    TranscriptionOptions options_;
};

} // namespace System::Speech
