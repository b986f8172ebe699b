#include "System/Speech/SpeechModule.h"

namespace System::Speech {

Concurrency::Task<std::optional<SpeechResult>> SpeechResults::next() {
    auto item = co_await stream_.next();
    if (!item) {
        co_return std::nullopt;
    }
    if (auto* error = std::get_if<std::exception_ptr>(&*item)) {
        std::rethrow_exception(*error);
    }
    co_return std::get<SpeechResult>(std::move(*item));
}

SpeechModule::SpeechModule(std::shared_ptr<RecognitionBackend> backend, ModuleKind kind, Locale locale)
    : backend_(std::move(backend))
    , kind_(kind)
    , locale_(std::move(locale)) {
    auto [stream, continuation] = Concurrency::AsyncStream<SpeechResults::Item>::makeStream();
    stream_.emplace(std::move(stream));
    continuation_ = continuation;
}

SpeechResults SpeechModule::results() {
    if (!stream_) {
        auto [stream, continuation] = Concurrency::AsyncStream<SpeechResults::Item>::makeStream();
        continuation.finish();
        return SpeechResults(std::move(stream));
    }
    SpeechResults results(std::move(*stream_));
    stream_.reset();
    return results;
}

void SpeechModule::deliver(SpeechResult result) {
    continuation_.yield(std::move(result));
}

void SpeechModule::finishResults(std::exception_ptr error) {
    if (error) {
        continuation_.yield(error);
    }
    continuation_.finish();
}

std::optional<Locale> SpeechModule::equivalentLocale(const RecognitionBackend& backend, ModuleKind kind,
                                                     const Locale& locale) {
    const auto supported = backend.supportedLocales(kind);
    for (const auto& candidate : supported) {
        if (candidate == locale) {
            return candidate;
        }
    }
    for (const auto& candidate : supported) {
        if (candidate.languageCode() == locale.languageCode()) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<Locale> SpeechTranscriber::supportedLocale(const RecognitionBackend& backend,
                                                         const Locale& locale) {
    return equivalentLocale(backend, ModuleKind::transcription, locale);
}

SpeechTranscriber::SpeechTranscriber(std::shared_ptr<RecognitionBackend> backend, Locale locale, Preset)
    : SpeechModule(std::move(backend), ModuleKind::transcription, std::move(locale)) {}

std::optional<Locale> DictationTranscriber::supportedLocale(const RecognitionBackend& backend,
                                                            const Locale& locale) {
    return equivalentLocale(backend, ModuleKind::dictation, locale);
}

DictationTranscriber::DictationTranscriber(std::shared_ptr<RecognitionBackend> backend, Locale locale,
                                           TranscriptionOptions options)
    : SpeechModule(std::move(backend), ModuleKind::dictation, std::move(locale))
    , options_(options) {}

} // namespace System::Speech
