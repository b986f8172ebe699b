#include "TessarinPlatform/Speech/AppleSpeechSession.h"

#include <algorithm>
#include <limits>

namespace TessarinPlatform {

namespace Audio = System::Audio;
namespace Con = System::Concurrency;
using System::Speech::AnalyzerInput;

AppleSpeechSession::AppleSpeechSession(std::unique_ptr<System::Speech::SpeechAnalyzer> analyzer,
                                       Con::AsyncStream<AnalyzerInput>::Continuation inputs,
                                       Con::TaskHandle<std::string> results,
                                       std::optional<Audio::AudioFormat> analyzerFormat,
                                       TessarinCore::DictationLanguage language)
    : analyzer_(std::move(analyzer))
    , inputs_(std::move(inputs))
    , results_(std::move(results))
    , analyzerFormat_(analyzerFormat)
    , language_(language) {}

std::optional<Audio::AudioPCMBuffer> AppleSpeechSession::makeBuffer(const std::vector<float>& samples) {
    if (samples.empty() || samples.size() > std::numeric_limits<std::uint32_t>::max()) {
        return std::nullopt;
    }
    const auto count = std::uint32_t(samples.size());
    const auto format = Audio::AudioFormat::make(TessarinCore::AudioClip::sampleRate, 1);
    if (!format) {
        return std::nullopt;
    }
    auto buffer = Audio::AudioPCMBuffer::make(*format, count);
    if (!buffer) {
        return std::nullopt;
    }
    std::copy(samples.begin(), samples.end(), buffer->channelData(0));
    buffer->setFrameLength(count);
    if (!analyzerFormat_ || *analyzerFormat_ == *format) {
        return buffer;
    }
    if (!converter_) {
        converter_ = Audio::AudioConverter::make(*format, *analyzerFormat_);
        if (!converter_) {
            return std::nullopt;
        }
    }
    const auto capacity =
        Audio::AudioConverter::outputCapacity(analyzerFormat_->sampleRate, format->sampleRate, count);
    auto output = capacity ? Audio::AudioPCMBuffer::make(*analyzerFormat_, *capacity) : std::nullopt;
    if (!output) {
        return std::nullopt;
    }
    if (converter_->convert(*output, *buffer).status == Audio::ConverterOutputStatus::error) {
        return std::nullopt;
    }
    return output;
}

Con::Task<void> AppleSpeechSession::append(TessarinCore::AudioChunk chunk) {
    std::lock_guard lock(mutex_);
    if (auto buffer = makeBuffer(chunk.samples)) {
        receivedAudio_ = true;
        inputs_.yield(AnalyzerInput{std::move(*buffer)});
    }
    co_return;
}

Con::Task<TessarinCore::Transcript> AppleSpeechSession::finish(TessarinCore::AudioClip clip) {
    {
        std::lock_guard lock(mutex_);
        // The analyzer has heard the live audio when chunks came; only a session without any uses the clip.
        if (!receivedAudio_) {
            if (auto buffer = makeBuffer(clip.samples)) {
                inputs_.yield(AnalyzerInput{std::move(*buffer)});
            }
        }
        inputs_.finish();
    }
    co_await analyzer_->finalizeAndFinishThroughEndOfInput();
    std::string text = co_await results_.value();
    co_return TessarinCore::Transcript{std::move(text),
                                       language_ == TessarinCore::DictationLanguage::arabic ? "ar" : "en",
                                       TessarinCore::EngineID::appleSpeech};
}

Con::Task<void> AppleSpeechSession::cancel() {
    inputs_.finish();
    co_await analyzer_->cancelAndFinishNow();
    results_.cancel();
}

} // namespace TessarinPlatform
