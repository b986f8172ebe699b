#include "System/Concurrency/ManualExecutor.h"
#include "System/Log/Logger.h"
#include "System/Speech/FakeRecognitionBackend.h"
#include "TessarinPlatform/Speech/AppleSpeechTranscriber.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace TessarinPlatform;
using System::Speech::FakeRecognitionBackend;
using System::Speech::Locale;
using System::Speech::ModuleKind;
using System::Speech::SpeechError;
using TessarinCore::AudioChunk;
using TessarinCore::AudioClip;
using TessarinCore::DictationLanguage;
using TessarinCore::EnginePreparation;
using TessarinCore::Transcript;
using TessarinCore::TranscriptionConfig;
using TessarinCore::TranscriptionSession;
namespace Con = System::Concurrency;

namespace {

FakeRecognitionBackend::Script supporting(std::vector<Locale> transcription,
                                          std::vector<Locale> dictation = {}) {
    FakeRecognitionBackend::Script script;
    script.supported[ModuleKind::transcription] = transcription;
    script.supported[ModuleKind::dictation] = dictation;
    script.installed = transcription;
    script.installed.insert(script.installed.end(), dictation.begin(), dictation.end());
    return script;
}

TranscriptionConfig config(DictationLanguage language, std::optional<std::string> prompt = std::nullopt) {
    return TranscriptionConfig{language, std::move(prompt), "gpt-transcribe", "whisper-large-v3"};
}

// Sets LANG for one test, with nothing in LC_ALL or LC_MESSAGES to override it.
struct ScopedLanguage {
    explicit ScopedLanguage(const char* lang) {
        ::unsetenv("LC_ALL");
        ::unsetenv("LC_MESSAGES");
        ::setenv("LANG", lang, 1);
    }
    ~ScopedLanguage() { ::unsetenv("LANG"); }
};

struct EngineFixture : ::testing::Test {
    // One executor plays every part: the caller, the speech worker and the background tasks.
    Con::ManualExecutor executor;
    std::shared_ptr<FakeRecognitionBackend> backend =
        std::make_shared<FakeRecognitionBackend>(supporting({Locale("en-US")}));
    AppleSpeechTranscriber transcriber{backend, executor, executor};
    ScopedLanguage language{"en_US.UTF-8"};

    // A session dropped without finish or cancel ends its analysis on the worker: let that run.
    void TearDown() override { executor.runUntilIdle(); }

    std::shared_ptr<TranscriptionSession> begin(TranscriptionConfig config) {
        return executor.runToCompletion(transcriber.beginSession(std::move(config)));
    }
};

} // namespace

TEST_F(EngineFixture, OffersEnglishAndArabicButNotAutomatic) {
    EXPECT_EQ(transcriber.engine(), TessarinCore::EngineID::appleSpeech);
    EXPECT_EQ(transcriber.supportedLanguages(),
              (std::set<DictationLanguage>{DictationLanguage::english, DictationLanguage::arabic}));
    const auto expected =
        AppleSpeechTranscriber::TranscriberError::unsupportedLanguage(DictationLanguage::automatic);
    EXPECT_STREQ(expected.what(), "The on-device engine can't transcribe Auto-detect on this computer.");
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            if (attempt == 0) {
                executor.runToCompletion(transcriber.prepare(DictationLanguage::automatic));
            } else {
                begin(config(DictationLanguage::automatic));
            }
            ADD_FAILURE() << "automatic must be refused";
        } catch (const AppleSpeechTranscriber::TranscriberError& error) {
            EXPECT_EQ(error, expected);
        }
    }
}

TEST_F(EngineFixture, RefusesALanguageWithoutAnInstalledModel) {
    // Arabic always asks for ar-SA with the dictation module; here only English is installed.
    try {
        begin(config(DictationLanguage::arabic));
        ADD_FAILURE() << "arabic must be refused";
    } catch (const AppleSpeechTranscriber::TranscriberError& error) {
        EXPECT_EQ(error.language(), DictationLanguage::arabic);
        EXPECT_STREQ(error.what(),
                     "The on-device engine can't transcribe Arabic (العربية) on this computer.");
    }
    EXPECT_THROW(executor.runToCompletion(transcriber.prepare(DictationLanguage::arabic)),
                 AppleSpeechTranscriber::TranscriberError);
}

TEST_F(EngineFixture, UsesTheDictationModuleForArabicWhenItsModelIsThere) {
    auto script = supporting({Locale("en-US")}, {Locale("ar-SA")});
    script.finishTexts = {"مرحبا"};
    backend->setScript(script);
    auto session = begin(config(DictationLanguage::arabic));
    const Transcript transcript = executor.runToCompletion(session->finish(AudioClip{{0.1f, 0.2f}}));
    EXPECT_EQ(transcript, (Transcript{"مرحبا", "ar", TessarinCore::EngineID::appleSpeech}));
    EXPECT_EQ(backend->record().recognizerLocales, (std::vector<Locale>{Locale("ar-SA")}));
}

TEST_F(EngineFixture, PicksTheEnglishLocaleFromTheUsersLanguage) {
    backend->setScript(supporting({Locale("en-GB"), Locale("en-US")}));
    struct Case {
        const char* lang;
        const char* expected;
    };
    for (const Case& c : {Case{"en_GB.UTF-8", "en-GB"}, Case{"de_DE.UTF-8", "en-US"}, Case{"C", "en-US"}}) {
        ScopedLanguage scoped(c.lang);
        auto session = begin(config(DictationLanguage::english));
        executor.runToCompletion(session->cancel());
        EXPECT_EQ(backend->record().recognizerLocales.back(), Locale(c.expected)) << c.lang;
    }
}

TEST_F(EngineFixture, StreamsChunksAndIgnoresTheClipOnceAudioCame) {
    auto script = supporting({Locale("en-US")});
    script.processTexts = {{" hello"}, {"world "}};
    backend->setScript(script);
    auto session = begin(config(DictationLanguage::english));
    executor.runToCompletion(session->append(AudioChunk{{0.1f, 0.2f}}));
    executor.runToCompletion(session->append(AudioChunk{{0.3f}}));
    const Transcript transcript = executor.runToCompletion(session->finish(AudioClip{{0.9f, 0.9f, 0.9f}}));
    // Every result's text in order, joined by one space, nothing trimmed.
    EXPECT_EQ(transcript, (Transcript{" hello world ", "en", TessarinCore::EngineID::appleSpeech}));
    EXPECT_EQ(backend->record().buffers, (std::vector<std::vector<float>>{{0.1f, 0.2f}, {0.3f}}));
}

TEST_F(EngineFixture, TranscribesTheClipWhenNoChunkGaveAudio) {
    for (bool emptyChunks : {false, true}) {
        backend->setScript(supporting({Locale("en-US")}));
        auto session = begin(config(DictationLanguage::english));
        if (emptyChunks) {
            executor.runToCompletion(session->append(AudioChunk{}));
            executor.runToCompletion(session->append(AudioChunk{}));
        }
        executor.runToCompletion(session->finish(AudioClip{{0.5f, 0.25f}}));
        EXPECT_EQ(backend->record().buffers.back(), (std::vector<float>{0.5f, 0.25f}))
            << "empty chunks " << emptyChunks;
    }
}

TEST_F(EngineFixture, HandsTheKeywordsToTheAnalyzer) {
    begin(config(DictationLanguage::english, "Parlindo, Tessarin\nKubernetes"));
    EXPECT_EQ(backend->record().contextualStrings,
              (std::vector<std::string>{"Parlindo", "Tessarin", "Kubernetes"}));
    begin(config(DictationLanguage::english));
    EXPECT_TRUE(backend->record().contextualStrings.empty());
}

TEST_F(EngineFixture, ConvertsToTheAnalyzersFormatWhenItDiffers) {
    auto script = supporting({Locale("en-US")});
    script.format = System::Audio::AudioFormat{8'000, 1};
    backend->setScript(script);
    auto session = begin(config(DictationLanguage::english));
    for (int i = 0; i < 20; ++i) {
        executor.runToCompletion(session->append(AudioChunk{std::vector<float>(1'600, 0.25f)}));
    }
    executor.runToCompletion(session->finish(AudioClip{}));
    std::size_t frames = 0;
    for (const auto& buffer : backend->record().buffers) {
        frames += buffer.size();
    }
    // 32,000 samples at 16 kHz are 16,000 at 8 kHz, less the few the resampler still holds.
    EXPECT_LE(frames, 16'000u);
    EXPECT_GE(frames, 15'800u);
}

TEST_F(EngineFixture, PassesTheAnalysisErrorOnFromFinish) {
    auto script = supporting({Locale("en-US")});
    script.finishError = SpeechError(SpeechError::Code::analysisFailed, "The speech recognizer failed.");
    backend->setScript(script);
    auto session = begin(config(DictationLanguage::english));
    executor.runToCompletion(session->append(AudioChunk{{0.1f}}));
    EXPECT_THROW(executor.runToCompletion(session->finish(AudioClip{})), SpeechError);
}

TEST_F(EngineFixture, CancelEndsTheAnalysisWithoutFinalizing) {
    auto script = supporting({Locale("en-US")});
    script.finishTexts = {"never"};
    backend->setScript(script);
    auto session = begin(config(DictationLanguage::english));
    executor.runToCompletion(session->append(AudioChunk{{0.1f}}));
    executor.runToCompletion(session->cancel());
    EXPECT_EQ(backend->record().finishes, 0);
    EXPECT_FALSE(executor.hasPendingJobs());
}

TEST_F(EngineFixture, PreparesInstalledAssetsWithoutReports) {
    System::Log::CaptureSink sink;
    std::vector<EnginePreparation> reports;
    executor.runToCompletion(transcriber.prepare(DictationLanguage::english,
                                                 [&](const EnginePreparation& p) { reports.push_back(p); }));
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(sink.messages("AppleSpeech"), (std::vector<std::string>{"On-device speech ready for english"}));
    EXPECT_EQ(backend->record().installs, 0);
}

TEST(AppleSpeechPreparationTest, ReportsDownloadProgressEveryQuarterSecondUntilTheInstallEnds) {
    ScopedLanguage language("en_US.UTF-8");
    System::Log::CaptureSink sink;
    Con::ManualExecutor caller, worker;
    auto script = supporting({Locale("en-US")});
    script.installed.clear();
    std::vector<EnginePreparation> reports;
    for (bool fails : {false, true}) {
        reports.clear();
        // The install runs when the test runs the worker; meanwhile a second of the caller's time passes,
        // with the download half done.
        script.onInstall = [&, fails](const Locale&, const std::function<void(double)>& progress) {
            progress(0.5);
            caller.advance(Con::Duration::seconds(std::int64_t{1}));
            if (fails) {
                throw SpeechError(SpeechError::Code::installationFailed, "No room.");
            }
        };
        script.installed.clear();
        auto backend = std::make_shared<FakeRecognitionBackend>(script);
        AppleSpeechTranscriber transcriber(backend, worker, caller);
        auto handle = Con::spawn(
            caller, transcriber.prepare(DictationLanguage::english,
                                        [&](const EnginePreparation& p) { reports.push_back(p); }));
        caller.runUntilIdle();
        ASSERT_EQ(reports, (std::vector<EnginePreparation>{EnginePreparation::downloading(0.0)}));
        worker.runUntilIdle();
        caller.runUntilIdle();
        ASSERT_TRUE(handle.isDone());
        if (fails) {
            EXPECT_THROW(handle.result(), SpeechError);
        } else {
            EXPECT_NO_THROW(handle.result());
        }
        // One report at once and one every 0.25 s while the install ran, with the fraction of the moment.
        std::vector<EnginePreparation> expected{EnginePreparation::downloading(0.0)};
        for (int i = 0; i < 4; ++i) {
            expected.push_back(EnginePreparation::downloading(0.5));
        }
        EXPECT_EQ(reports, expected);
        caller.advance(Con::Duration::seconds(std::int64_t{1}));
        EXPECT_EQ(reports.size(), expected.size()) << "reports must stop when the download ends";
    }
    EXPECT_EQ(sink.messages("AppleSpeech"),
              (std::vector<std::string>{"Downloading on-device speech assets for english",
                                        "On-device speech ready for english",
                                        "Downloading on-device speech assets for english"}));
}
