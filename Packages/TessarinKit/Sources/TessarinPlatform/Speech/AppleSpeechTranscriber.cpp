#include "TessarinPlatform/Speech/AppleSpeechTranscriber.h"

#include "System/Concurrency/Cancellation.h"
#include "System/Concurrency/SerialQueue.h"
#include "System/Log/Logger.h"
#include "System/Speech/AssetInventory.h"
#include "System/Speech/PocketSphinxBackend.h"
#include "System/Speech/SpeechAnalyzer.h"
#include "System/Speech/SpeechWorker.h"
#include "TessarinPlatform/Speech/AppleSpeechSession.h"

namespace TessarinPlatform {

namespace Con = System::Concurrency;
namespace Speech = System::Speech;
using TessarinCore::DictationLanguage;

namespace {

const System::Log::Logger log{"com.tessarin.Tessarin", "AppleSpeech"};

// Where the results and progress tasks run: off the caller's executor and off the speech worker, which may be
// busy recognizing or installing.
Con::Executor& sharedBackground() {
    static auto* queue =
        new Con::SerialQueue("com.tessarin.Tessarin.AppleSpeech"); // lives as long as the process
    return *queue;
}

// Every result's text in order, joined with one space; the analysis error ends it.
Con::Task<std::string> collectResults(Speech::SpeechResults results) {
    std::string joined;
    bool first = true;
    while (auto result = co_await results.next()) {
        if (!first) {
            joined += ' ';
        }
        joined += result->text;
        first = false;
    }
    co_return joined;
}

Con::Task<void> reportProgress(std::shared_ptr<Speech::AssetInstallationRequest> request,
                               TessarinCore::SpeechTranscribing::ProgressHandler progress) {
    while (!(co_await Con::isCancelled())) {
        progress(TessarinCore::EnginePreparation::downloading(request->progress().fractionCompleted()));
        try {
            co_await Con::sleep(Con::Duration::milliseconds(250));
        } catch (const Con::CancellationError&) {
            co_return;
        }
    }
}

} // namespace

AppleSpeechTranscriber::TranscriberError::TranscriberError(Case errorCase, DictationLanguage language)
    : DescribedError("The on-device engine can't transcribe " +
                     std::string(TessarinCore::displayName(language)) + " on this computer.")
    , case_(errorCase)
    , language_(language) {}

AppleSpeechTranscriber::TranscriberError
AppleSpeechTranscriber::TranscriberError::unsupportedLanguage(DictationLanguage language) {
    return TranscriberError(Case::unsupportedLanguage, language);
}

AppleSpeechTranscriber::AppleSpeechTranscriber()
    : AppleSpeechTranscriber(std::make_shared<Speech::PocketSphinxBackend>(), Speech::sharedSpeechWorker(),
                             sharedBackground()) {}

AppleSpeechTranscriber::AppleSpeechTranscriber(std::shared_ptr<Speech::RecognitionBackend> backend,
                                               Con::Executor& worker, Con::Executor& background)
    : backend_(std::move(backend))
    , worker_(worker)
    , background_(background) {}

AppleSpeechTranscriber::Module AppleSpeechTranscriber::makeModule(DictationLanguage language) {
    std::shared_ptr<Speech::SpeechModule> module;
    switch (language) {
    case DictationLanguage::automatic:
        throw TranscriberError::unsupportedLanguage(language);
    case DictationLanguage::english: {
        const Speech::Locale current = Speech::Locale::current();
        const Speech::Locale wanted = current.languageCode() == "en" ? current : Speech::Locale("en-US");
        auto locale = Speech::SpeechTranscriber::supportedLocale(*backend_, wanted);
        if (!locale) {
            throw TranscriberError::unsupportedLanguage(language);
        }
        module = std::make_shared<Speech::SpeechTranscriber>(
            backend_, *locale, Speech::SpeechTranscriber::Preset::transcription);
        break;
    }
    case DictationLanguage::arabic: {
        auto locale = Speech::DictationTranscriber::supportedLocale(*backend_, Speech::Locale("ar-SA"));
        if (!locale) {
            throw TranscriberError::unsupportedLanguage(language);
        }
        module = std::make_shared<Speech::DictationTranscriber>(
            backend_, *locale, Speech::DictationTranscriber::TranscriptionOptions{.punctuation = true});
        break;
    }
    }
    // Collect from the start, before the module joins an analyzer, so no result is missed.
    auto results = Con::spawn(background_, collectResults(module->results()));
    return Module{std::move(module), std::move(results)};
}

Con::Task<void> AppleSpeechTranscriber::prepare(DictationLanguage language, ProgressHandler progress) {
    Module made = makeModule(language);
    made.results.cancel(); // only the module is needed here
    auto request = Speech::AssetInventory::assetInstallationRequest({made.module}, worker_);
    const auto name = System::Log::Public(TessarinCore::rawValue(language));
    if (!request) {
        log.info("On-device speech ready for {}", name);
        co_return;
    }
    log.notice("Downloading on-device speech assets for {}", name);
    auto reporter = Con::spawn(background_, reportProgress(request, std::move(progress)));
    try {
        co_await request->downloadAndInstall();
    } catch (...) {
        reporter.cancel();
        throw;
    }
    reporter.cancel();
    log.info("On-device speech ready for {}", name);
}

Con::Task<std::shared_ptr<TessarinCore::TranscriptionSession>>
AppleSpeechTranscriber::beginSession(TessarinCore::TranscriptionConfig config) {
    Module made = makeModule(config.language);
    const auto format = Speech::SpeechAnalyzer::bestAvailableAudioFormat({made.module});
    auto analyzer = std::make_unique<Speech::SpeechAnalyzer>(
        std::vector<std::shared_ptr<Speech::SpeechModule>>{made.module},
        Speech::SpeechAnalyzer::Options{Speech::SpeechAnalyzer::ModelRetention::processLifetime}, worker_);
    auto [stream, inputs] = Con::AsyncStream<Speech::AnalyzerInput>::makeStream();
    try {
        const auto keywords = config.keywords();
        if (!keywords.empty()) {
            Speech::AnalysisContext context;
            context.contextualStrings[Speech::AnalysisContext::ContextualStringsTag::general] = keywords;
            co_await analyzer->setContext(std::move(context));
        }
        co_await analyzer->prepareToAnalyze(format);
        co_await analyzer->start(std::move(stream));
    } catch (...) {
        made.results.cancel();
        throw;
    }
    co_return std::make_shared<AppleSpeechSession>(std::move(analyzer), inputs, std::move(made.results),
                                                   format, config.language);
}

} // namespace TessarinPlatform
