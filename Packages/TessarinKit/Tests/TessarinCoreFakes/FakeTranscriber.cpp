#include "FakeTranscriber.h"

namespace TessarinCore::Fakes {

using System::Concurrency::Task;

Task<void> FakeTranscriptionSession::append(AudioChunk chunk) {
    appended.push_back(std::move(chunk));
    return transcriber_.appending.call([] {});
}

Task<Transcript> FakeTranscriptionSession::finish(AudioClip clip) {
    finishedWith.push_back(std::move(clip));
    return transcriber_.finishing.call([this] { return transcriber_.transcript(transcriber_.text); });
}

Task<void> FakeTranscriptionSession::cancel() {
    ++cancels;
    return transcriber_.cancelling.call([] {});
}

Task<void> FakeTranscriber::prepare(DictationLanguage language, ProgressHandler progress) {
    preparedLanguages.push_back(language);
    for (const EnginePreparation& report : reports) {
        progress(report);
    }
    return preparing.call([] {});
}

Task<std::shared_ptr<TranscriptionSession>> FakeTranscriber::beginSession(TranscriptionConfig config) {
    co_await opening.call([] {});
    auto session = std::make_shared<FakeTranscriptionSession>(*this, std::move(config));
    sessions.push_back(session);
    co_return session;
}

} // namespace TessarinCore::Fakes
