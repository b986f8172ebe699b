#include "System/Concurrency/ManualExecutor.h"
#include "System/Speech/AssetInventory.h"
#include "System/Speech/FakeRecognitionBackend.h"
#include "System/Speech/SpeechAnalyzer.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace System::Speech;
namespace Con = System::Concurrency;

namespace {

const Locale enUS("en-US");

FakeRecognitionBackend::Script englishOnly() {
    FakeRecognitionBackend::Script script;
    script.supported[ModuleKind::transcription] = {enUS};
    script.supported[ModuleKind::dictation] = {enUS};
    script.installed = {enUS};
    return script;
}

AnalyzerInput input(std::vector<float> samples) {
    auto buffer = System::Audio::AudioPCMBuffer::make({16'000, 1}, std::uint32_t(samples.size())).value();
    std::copy(samples.begin(), samples.end(), buffer.channelData(0));
    buffer.setFrameLength(std::uint32_t(samples.size()));
    return AnalyzerInput{std::move(buffer)};
}

// Runs `task` on the executor to its end and returns its value or rethrows.
template <class T>
T run(Con::ManualExecutor& executor, Con::Task<T> task) {
    auto handle = Con::spawn(executor, std::move(task));
    executor.runUntilIdle();
    EXPECT_TRUE(handle.isDone());
    return handle.result();
}

// Collects every result text of a module, or the error's description.
Con::Task<std::vector<std::string>> collect(SpeechResults results) {
    std::vector<std::string> texts;
    try {
        while (auto result = co_await results.next()) {
            texts.push_back(result->text);
        }
    } catch (const SpeechError& error) {
        texts.push_back("error: " + error.description());
    }
    co_return texts;
}

struct Fixture {
    Con::ManualExecutor executor;
    std::shared_ptr<FakeRecognitionBackend> backend;
    std::shared_ptr<SpeechTranscriber> module;
    Con::TaskHandle<std::vector<std::string>> results;
    std::unique_ptr<SpeechAnalyzer> analyzer;
    Con::AsyncStream<AnalyzerInput>::Continuation inputs;

    explicit Fixture(FakeRecognitionBackend::Script script,
                     SpeechAnalyzer::ModelRetention retention = SpeechAnalyzer::ModelRetention::whileInUse)
        : backend(std::make_shared<FakeRecognitionBackend>(std::move(script))) {
        module = std::make_shared<SpeechTranscriber>(backend, enUS, SpeechTranscriber::Preset::transcription);
        results = Con::spawn(executor, collect(module->results()));
        analyzer = std::make_unique<SpeechAnalyzer>(std::vector<std::shared_ptr<SpeechModule>>{module},
                                                    SpeechAnalyzer::Options{retention}, executor);
        auto [stream, continuation] = Con::AsyncStream<AnalyzerInput>::makeStream();
        inputs = continuation;
        run(executor, analyzer->start(std::move(stream)));
    }

    std::vector<std::string> texts() {
        executor.runUntilIdle();
        EXPECT_TRUE(results.isDone());
        return results.result();
    }
};

} // namespace

TEST(LocaleTest, ReadsPosixLocaleNames) {
    struct Case {
        const char* posix;
        std::optional<std::string> identifier;
    };
    for (const Case& c : {Case{"en_GB.UTF-8", "en-GB"}, Case{"de_DE.UTF-8@euro", "de-DE"}, Case{"ar", "ar"},
                          Case{"pt_br", "pt-BR"}, Case{"C", std::nullopt}, Case{"POSIX", std::nullopt},
                          Case{"C.UTF-8", std::nullopt}, Case{"", std::nullopt}}) {
        auto locale = Locale::fromPosix(c.posix);
        EXPECT_EQ(locale ? std::optional(locale->identifier()) : std::nullopt, c.identifier) << c.posix;
    }
    EXPECT_EQ(Locale("en-GB").languageCode(), "en");
    EXPECT_EQ(Locale("en-GB").regionCode(), "GB");
    EXPECT_EQ(Locale("ar").regionCode(), std::nullopt);
}

TEST(LocaleTest, TakesTheCurrentLocaleFromTheFirstVariableSet) {
    ::setenv("LC_ALL", "", 1);
    ::setenv("LC_MESSAGES", "en_GB.UTF-8", 1);
    ::setenv("LANG", "de_DE.UTF-8", 1);
    EXPECT_EQ(Locale::current().identifier(), "en-GB");
    ::setenv("LC_MESSAGES", "C", 1);
    EXPECT_EQ(Locale::current().identifier(), "en-US");
    ::unsetenv("LC_MESSAGES");
    EXPECT_EQ(Locale::current().identifier(), "de-DE");
    ::unsetenv("LANG");
    ::unsetenv("LC_ALL");
    EXPECT_EQ(Locale::current().identifier(), "en-US");
}

TEST(SpeechModuleTest, FindsTheEquivalentSupportedLocale) {
    auto script = englishOnly();
    script.supported[ModuleKind::transcription].push_back(Locale("en-GB"));
    FakeRecognitionBackend backend(script);
    EXPECT_EQ(SpeechTranscriber::supportedLocale(backend, Locale("en-GB")), Locale("en-GB"));
    EXPECT_EQ(SpeechTranscriber::supportedLocale(backend, Locale("en-AU")), enUS);
    EXPECT_EQ(SpeechTranscriber::supportedLocale(backend, Locale("ar-SA")), std::nullopt);
    EXPECT_EQ(DictationTranscriber::supportedLocale(backend, Locale("en-GB")), enUS);
}

TEST(SpeechAnalyzerTest, DeliversResultsInOrderAndEndsThemAtFinalization) {
    auto script = englishOnly();
    script.processTexts = {{"one"}, {}, {"two", "three"}};
    script.finishTexts = {"four"};
    Fixture fixture(script);
    run(fixture.executor, fixture.analyzer->setContext({{{AnalysisContext::ContextualStringsTag::general,
                                                          {"Parlindo", "Tessarin"}}}}));
    for (float value : {0.1f, 0.2f, 0.3f}) {
        fixture.inputs.yield(input({value, value}));
    }
    fixture.inputs.finish();
    run(fixture.executor, fixture.analyzer->finalizeAndFinishThroughEndOfInput());

    EXPECT_EQ(fixture.texts(), (std::vector<std::string>{"one", "two", "three", "four"}));
    const auto record = fixture.backend->record();
    EXPECT_EQ(record.buffers.size(), 3u);
    EXPECT_EQ(record.buffers[2], (std::vector<float>{0.3f, 0.3f}));
    EXPECT_EQ(record.contextualStrings, (std::vector<std::string>{"Parlindo", "Tessarin"}));
    EXPECT_EQ(record.finishes, 1);
}

TEST(SpeechAnalyzerTest, EndsTheResultsWithTheAnalysisError) {
    auto script = englishOnly();
    script.processTexts = {{"heard"}};
    script.finishError = SpeechError(SpeechError::Code::analysisFailed, "The recognizer broke.");
    Fixture fixture(script);
    fixture.inputs.yield(input({0.1f}));
    fixture.inputs.finish();
    EXPECT_THROW(run(fixture.executor, fixture.analyzer->finalizeAndFinishThroughEndOfInput()), SpeechError);
    EXPECT_EQ(fixture.texts(), (std::vector<std::string>{"heard", "error: The recognizer broke."}));
}

TEST(SpeechAnalyzerTest, CancelsWithoutFinalizing) {
    auto script = englishOnly();
    script.processTexts = {{"heard"}};
    script.finishTexts = {"never"};
    Fixture fixture(script);
    fixture.inputs.yield(input({0.1f}));
    fixture.executor.runUntilIdle();
    run(fixture.executor, fixture.analyzer->cancelAndFinishNow());
    EXPECT_EQ(fixture.texts(), (std::vector<std::string>{"heard"}));
    EXPECT_EQ(fixture.backend->record().finishes, 0);
}

TEST(SpeechAnalyzerTest, KeepsTheModelForTheProcessWhenAsked) {
    for (auto retention :
         {SpeechAnalyzer::ModelRetention::whileInUse, SpeechAnalyzer::ModelRetention::processLifetime}) {
        Fixture fixture(englishOnly(), retention);
        fixture.inputs.finish();
        run(fixture.executor, fixture.analyzer->finalizeAndFinishThroughEndOfInput());
        EXPECT_EQ(fixture.backend->record().recognizersKept,
                  retention == SpeechAnalyzer::ModelRetention::processLifetime ? 1 : 0);
    }
}

TEST(SpeechAnalyzerTest, RejectsAudioFormatsTheModelCannotTake) {
    Con::ManualExecutor executor;
    auto backend = std::make_shared<FakeRecognitionBackend>(englishOnly());
    auto module =
        std::make_shared<SpeechTranscriber>(backend, enUS, SpeechTranscriber::Preset::transcription);
    SpeechAnalyzer analyzer({module}, {}, executor);
    EXPECT_EQ(SpeechAnalyzer::bestAvailableAudioFormat({module}), (System::Audio::AudioFormat{16'000, 1}));
    EXPECT_THROW(run(executor, analyzer.prepareToAnalyze(System::Audio::AudioFormat{48'000, 1})),
                 SpeechError);
    run(executor, analyzer.prepareToAnalyze(System::Audio::AudioFormat{16'000, 1}));
}

TEST(AssetInventoryTest, AsksToInstallOnlyWhatIsMissing) {
    Con::ManualExecutor executor;
    auto script = englishOnly();
    script.installed.clear();
    script.onInstall = [](const Locale&, const std::function<void(double)>& progress) { progress(0.5); };
    auto backend = std::make_shared<FakeRecognitionBackend>(script);
    auto module =
        std::make_shared<SpeechTranscriber>(backend, enUS, SpeechTranscriber::Preset::transcription);
    auto request = AssetInventory::assetInstallationRequest({module}, executor);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->progress().fractionCompleted(), 0.0);
    run(executor, request->downloadAndInstall());
    EXPECT_EQ(request->progress().fractionCompleted(), 1.0);
    EXPECT_EQ(backend->record().installs, 1);
    EXPECT_EQ(AssetInventory::assetInstallationRequest({module}, executor), nullptr);
}

TEST(AssetInventoryTest, PassesAnInstallationFailureOn) {
    Con::ManualExecutor executor;
    auto script = englishOnly();
    script.installed.clear();
    script.onInstall = [](const Locale&, const std::function<void(double)>&) {
        throw SpeechError(SpeechError::Code::installationFailed, "No room.");
    };
    auto backend = std::make_shared<FakeRecognitionBackend>(script);
    auto module =
        std::make_shared<SpeechTranscriber>(backend, enUS, SpeechTranscriber::Preset::transcription);
    auto request = AssetInventory::assetInstallationRequest({module}, executor);
    ASSERT_NE(request, nullptr);
    EXPECT_THROW(run(executor, request->downloadAndInstall()), SpeechError);
}
