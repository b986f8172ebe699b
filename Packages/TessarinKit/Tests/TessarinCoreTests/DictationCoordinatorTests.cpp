#include "FakeAudioRecorder.h"
#include "FakeFrontmostApp.h"
#include "FakeHotkeySource.h"
#include "FakeTextInserter.h"
#include "FakeTranscriber.h"
#include "System/Concurrency/ManualExecutor.h"
#include "System/Log/Logger.h"
#include "TessarinCore/UseCases/DictationCoordinator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using namespace TessarinCore;
using namespace TessarinCore::Fakes;
using System::Concurrency::ManualExecutor;

namespace {

Duration ms(std::int64_t count) {
    return Duration::milliseconds(count);
}

// Samples alternating between +level and -level: every analysis frame and every chunk has exactly that RMS.
std::vector<float> tone(Duration length, float level) {
    std::vector<float> samples(
        static_cast<std::size_t>(length.milliseconds() * AudioClip::sampleRate / 1000));
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = i % 2 == 0 ? level : -level;
    }
    return samples;
}

std::vector<float> joined(std::initializer_list<std::vector<float>> parts) {
    std::vector<float> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

constexpr float roomNoise = 0.001f;

// Half a second of speech between half-second stretches of room noise.
std::vector<float> speechIn(float noise, float speech) {
    return joined({tone(ms(500), noise), tone(ms(500), speech), tone(ms(500), noise)});
}
std::vector<float> clearSpeech() {
    return speechIn(roomNoise, 0.2f);
}
// Peak three times the noise floor.
std::vector<float> faintSpeech() {
    return speechIn(0.005f, 0.015f);
}
// The trimmer keeps 0.2 s around the speech: 0.3 s to 1.2 s of the clips above.
std::vector<float> trimmed(const std::vector<float>& clip) {
    return {clip.begin() + 4800, clip.begin() + 19200};
}

SilenceTrimmer systemTrimmer() {
    return SilenceTrimmer{ms(20), 2.5f, 0.003f, 0.01f, ms(200), ms(200)};
}

struct EngineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string stateName(const DictationState& state) {
    static const char* const names[] = {"idle", "recording", "transcribing", "inserting", "failed"};
    return names[state.value.index()];
}

class DictationCoordinatorTests : public ::testing::Test {
protected:
    void SetUp() override { System::Log::setPrivateLoggingEnabled(false); }

    // Whatever a test left waiting is let go, so every task of the coordinator ends.
    void TearDown() override {
        if (coordinator) {
            coordinator->stop();
        }
        audio->starting.release();
        audio->stopping.release();
        frontmost->lookup.release();
        inserter->inserting.release();
        for (auto* engine : {apple.get(), cloud.get()}) {
            engine->opening.release();
            engine->appending.release();
            engine->finishing.release();
            engine->cancelling.release();
        }
        executor.runUntilIdle();
    }

    void make(DictationSettings settings = {}) {
        coordinator = DictationCoordinator::create(hotkeys, audio, TranscriberRouter({apple, cloud}),
                                                   inserter, frontmost, std::move(settings), systemTrimmer(),
                                                   TranscriptPostProcessor{}, executor);
        coordinator->start();
        executor.runUntilIdle();
    }

    void press(const Hotkey& key = Hotkey::function()) {
        hotkeys->press(key, executor.now());
        executor.runUntilIdle();
    }
    void release(const Hotkey& key = Hotkey::function()) {
        hotkeys->release(key, executor.now());
        executor.runUntilIdle();
    }
    // Speak into the recording in progress, hold on, release, and let the default release tail pass.
    void speakAndRelease(std::vector<float> samples, const Hotkey& key = Hotkey::function()) {
        audio->speak(std::move(samples));
        executor.advance(ms(1500));
        release(key);
        executor.advance(ms(100));
    }
    void dictate(std::vector<float> samples, const Hotkey& key = Hotkey::function()) {
        press(key);
        speakAndRelease(std::move(samples), key);
    }

    std::vector<std::string> pipelineLog() const { return logs.messages("Pipeline"); }
    bool logged(const std::string& line) const {
        const auto lines = pipelineLog();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::optional<DictationEvent> lastEvent() { return coordinator->lastEvent().get(); }
    DictationState state() { return coordinator->state().get(); }

    System::Log::CaptureSink logs;
    ManualExecutor executor;
    std::shared_ptr<FakeHotkeySource> hotkeys = std::make_shared<FakeHotkeySource>();
    std::shared_ptr<FakeAudioRecorder> audio = std::make_shared<FakeAudioRecorder>();
    std::shared_ptr<FakeTextInserter> inserter = std::make_shared<FakeTextInserter>();
    std::shared_ptr<FakeFrontmostApp> frontmost = std::make_shared<FakeFrontmostApp>();
    // As registered by the application: the on-device engine (English and Arabic), then the cloud engine.
    std::shared_ptr<FakeTranscriber> apple = std::make_shared<FakeTranscriber>(
        EngineID::appleSpeech, std::set{DictationLanguage::english, DictationLanguage::arabic},
        "hello world");
    std::shared_ptr<FakeTranscriber> cloud = std::make_shared<FakeTranscriber>(
        EngineID::tessarin,
        std::set{DictationLanguage::automatic, DictationLanguage::english, DictationLanguage::arabic},
        "from the cloud");
    std::shared_ptr<DictationCoordinator> coordinator;
};

TEST_F(DictationCoordinatorTests, PressSpeakReleaseTranscribesInsertsMeasuresAndPublishesInOrder) {
    const AppIdentity editor{"com.example.editor", 42, "Editor"};
    frontmost->app = editor;
    apple->text = "  hello   world ";
    make();
    std::vector<std::string> publications;
    auto states = coordinator->state().observe(
        [&](const DictationState& value) { publications.push_back("state " + stateName(value)); });
    auto results = coordinator->lastResult().observe([&](const auto&) { publications.push_back("result"); });
    auto events = coordinator->lastEvent().observe([&](const std::optional<DictationEvent>& event) {
        publications.push_back("event " + std::to_string(event->id));
    });

    press();
    EXPECT_EQ(state(), DictationState::recording());
    EXPECT_EQ(coordinator->recordingLanguage().get(), DictationLanguage::english);
    const std::vector<float> clip = clearSpeech();
    const std::vector<AudioChunk> chunks{
        {tone(ms(500), roomNoise)}, {tone(ms(500), 0.2f)}, {tone(ms(500), roomNoise)}};
    audio->speak(chunks[0]);
    audio->speak(chunks[1]);
    executor.runUntilIdle();
    EXPECT_EQ(coordinator->inputLevel().get(), chunks[1].level());
    audio->speak(chunks[2]);

    apple->finishing.hold();
    executor.advance(ms(1500));
    release();
    executor.advance(ms(100)); // the release tail: the recorder stops only now
    EXPECT_EQ(state(), DictationState::transcribing());
    executor.advance(ms(250)); // the engine's time
    apple->finishing.release();
    executor.runUntilIdle();

    ASSERT_EQ(apple->sessions.size(), 1u);
    const auto& session = *apple->sessions[0];
    EXPECT_EQ(session.config, DictationSettings().transcriptionConfig(DictationLanguage::english));
    EXPECT_EQ(session.appended, chunks);
    EXPECT_EQ(session.finishedWith, (std::vector<AudioClip>{AudioClip{trimmed(clip)}}));
    EXPECT_EQ(session.cancels, 0);
    EXPECT_TRUE(cloud->sessions.empty());

    EXPECT_EQ(inserter->requests,
              (std::vector<InsertionRequest>{{"hello world ", editor, InsertionMethod::paste, true}}));
    const DictationResult expected{
        "hello world",
        apple->transcript("  hello   world "),
        InsertionOutcome::inserted(),
        DictationMetrics{.holdDuration = ms(1500),
                         .audioDuration = ms(1500),
                         .speechDuration = ms(500),
                         .transcriptionDuration = ms(250),
                         .releaseToText = ms(350)},
        std::nullopt,
    };
    EXPECT_EQ(coordinator->lastResult().get(), expected);
    EXPECT_EQ(lastEvent(), (DictationEvent{1, DictationOutcome::transcribed(expected)}));
    EXPECT_EQ(state(), DictationState::idle());
    EXPECT_EQ(coordinator->lastClip().get(), AudioClip{clip});
    EXPECT_EQ(coordinator->inputLevel().get(), 0.0f);
    EXPECT_EQ(publications, (std::vector<std::string>{"state recording", "state transcribing",
                                                      "state inserting", "result", "state idle", "event 1"}));

    EXPECT_EQ(pipelineLog(), (std::vector<std::string>{
                                 "Listening for fn \U0001F310, Right \u2325",
                                 "fn \U0001F310 \u2192 english on appleSpeech",
                                 "[appleSpeech] release\u2192text 350 ms (engine 250 ms, speech 500 ms, hold "
                                 "1500 ms): <private>",
                             }));
    std::vector<std::string> signposts;
    for (const auto& record : logs.records()) {
        if (record.kind != System::Log::RecordKind::message) {
            signposts.push_back((record.kind == System::Log::RecordKind::intervalBegin ? "begin " : "end ") +
                                record.message);
        }
    }
    EXPECT_EQ(signposts, (std::vector<std::string>{"begin Dictation", "begin Transcribe", "end Transcribe",
                                                   "end Dictation"}));
}

TEST_F(DictationCoordinatorTests, TooShortAHoldAndAChordCancelTheRecording) {
    make();

    press();
    executor.advance(ms(100)); // under the minimum hold of 0.15 s
    release();
    EXPECT_EQ(audio->stopping.calls(), 1);
    ASSERT_EQ(apple->sessions.size(), 1u);
    EXPECT_EQ(apple->sessions[0]->cancels, 1);
    EXPECT_TRUE(apple->sessions[0]->finishedWith.empty());
    EXPECT_EQ(state(), DictationState::idle());
    EXPECT_EQ(lastEvent(), (DictationEvent{1, DictationOutcome::cancelled()}));
    EXPECT_TRUE(logged("Recording cancelled: tooShort"));

    press();
    audio->speak(clearSpeech());
    executor.advance(ms(1000));
    hotkeys->otherInput(executor.now());
    executor.runUntilIdle();
    EXPECT_EQ(audio->stopping.calls(), 2);
    ASSERT_EQ(apple->sessions.size(), 2u);
    EXPECT_EQ(apple->sessions[1]->cancels, 1);
    EXPECT_EQ(lastEvent(), (DictationEvent{2, DictationOutcome::cancelled()}));
    EXPECT_TRUE(logged("Recording cancelled: chord"));

    release(); // after a chord the release of the key ends nothing
    EXPECT_EQ(audio->starting.calls(), 2);
    EXPECT_EQ(lastEvent()->id, 2);
    EXPECT_TRUE(inserter->requests.empty());
    EXPECT_EQ(coordinator->lastClip().get(), std::nullopt);
    EXPECT_EQ(coordinator->lastResult().get(), std::nullopt);
}

TEST_F(DictationCoordinatorTests, ReachingTheMaximumRecordingLengthEndsTheRecordingByItself) {
    DictationSettings settings;
    settings.maximumRecording = Duration::seconds(std::int64_t{2});
    make(settings);

    press();
    audio->speak(clearSpeech());
    executor.advance(Duration::seconds(std::int64_t{2}));
    EXPECT_TRUE(logged("Maximum recording duration reached"));
    executor.advance(ms(100));

    ASSERT_TRUE(lastEvent());
    EXPECT_EQ(lastEvent()->id, 1);
    ASSERT_TRUE(coordinator->lastResult().get());
    EXPECT_EQ(coordinator->lastResult().get()->metrics.holdDuration, Duration::seconds(std::int64_t{2}));
    EXPECT_EQ(coordinator->lastResult().get()->metrics.releaseToText, ms(100));
    EXPECT_EQ(inserter->requests.size(), 1u);

    executor.advance(Duration::seconds(std::int64_t{1}));
    release(); // the real release, later: absorbed
    EXPECT_EQ(audio->starting.calls(), 1);
    EXPECT_EQ(lastEvent()->id, 1);
    EXPECT_EQ(state(), DictationState::idle());
}

TEST_F(DictationCoordinatorTests, DigitalSilenceFailsAsASilentMicrophone) {
    make();
    const struct {
        std::vector<float> samples;
        const char* line;
    } cases[] = {
        {{}, "The microphone delivered only digital silence (0 ms)"},
        {std::vector<float>(8000, 0.0f), "The microphone delivered only digital silence (500 ms)"},
    };
    std::int64_t id = 0;
    for (const auto& silence : cases) {
        SCOPED_TRACE(silence.line);
        dictate(silence.samples);
        EXPECT_EQ(state(), DictationState::failed(DictationFailure::microphoneSilent()));
        EXPECT_EQ(lastEvent(),
                  (DictationEvent{++id, DictationOutcome::failed(DictationFailure::microphoneSilent())}));
        EXPECT_EQ(coordinator->lastClip().get(), AudioClip{silence.samples});
        EXPECT_EQ(apple->sessions.back()->cancels, 1);
        EXPECT_TRUE(apple->sessions.back()->finishedWith.empty());
        EXPECT_TRUE(logged(silence.line));
    }
    EXPECT_TRUE(inserter->requests.empty());
}

TEST_F(DictationCoordinatorTests, AudioWithoutSpeechEndsAsNoSpeech) {
    make();
    dictate(tone(ms(1000), roomNoise));

    EXPECT_EQ(state(), DictationState::idle());
    EXPECT_EQ(lastEvent(), (DictationEvent{1, DictationOutcome::noSpeech()}));
    EXPECT_EQ(apple->sessions[0]->cancels, 1);
    EXPECT_TRUE(apple->sessions[0]->finishedWith.empty());
    EXPECT_EQ(coordinator->lastClip().get()->samples.size(), 16000u);
    EXPECT_TRUE(logged("No speech detected in 1000 ms of audio (peak level 0.001)"));
    EXPECT_TRUE(inserter->requests.empty());
}

// The Arabic key dictates on the cloud engine; the router names the on-device engine as its fallback.
struct RetryCase {
    const char* name;
    std::function<void(FakeTranscriber& primary)> script;
    std::function<std::vector<float>()> samples;
    bool retried;
    std::optional<std::string> fallbackReason;
    std::vector<std::string> lines; // in this order among the pipeline's log lines
};

void PrintTo(const RetryCase& retry, std::ostream* out) {
    *out << retry.name;
}

class DictationCoordinatorRetryTests : public DictationCoordinatorTests,
                                       public ::testing::WithParamInterface<RetryCase> {};

TEST_P(DictationCoordinatorRetryTests, RetriesOnceOnTheFallbackEngineWhenTheFirstFailsOrHearsNothing) {
    const RetryCase& retry = GetParam();
    retry.script(*cloud);
    make();
    const std::vector<float> clip = retry.samples();
    dictate(clip, Hotkey::rightOption());

    if (!retry.retried) {
        EXPECT_TRUE(apple->sessions.empty());
        EXPECT_EQ(lastEvent(), (DictationEvent{1, DictationOutcome::noSpeech()}));
        EXPECT_FALSE(logged("Falling back to appleSpeech"));
        return;
    }
    ASSERT_EQ(apple->sessions.size(), 1u);
    EXPECT_EQ(apple->sessions[0]->config, DictationSettings().transcriptionConfig(DictationLanguage::arabic));
    EXPECT_EQ(apple->sessions[0]->finishedWith, (std::vector<AudioClip>{AudioClip{trimmed(clip)}}));
    ASSERT_TRUE(coordinator->lastResult().get());
    EXPECT_EQ(coordinator->lastResult().get()->transcript, apple->transcript("hello world"));
    EXPECT_EQ(coordinator->lastResult().get()->fallbackReason, retry.fallbackReason);
    EXPECT_EQ(lastEvent(),
              (DictationEvent{1, DictationOutcome::transcribed(*coordinator->lastResult().get())}));

    const auto lines = pipelineLog();
    auto at = lines.begin();
    for (const std::string& line : retry.lines) {
        at = std::find(at, lines.end(), line);
        EXPECT_NE(at, lines.end()) << "missing or out of order: " << line;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DictationCoordinatorRetryTests,
    ::testing::Values(
        RetryCase{"error on clear speech",
                  [](FakeTranscriber& primary) { primary.finishing.willThrow(EngineError("Cloud down")); },
                  clearSpeech,
                  true,
                  "Cloud down",
                  {"tessarin failed: Cloud down", "Falling back to appleSpeech"}},
        RetryCase{"error on faint speech",
                  [](FakeTranscriber& primary) { primary.finishing.willThrow(EngineError("Cloud down")); },
                  faintSpeech,
                  true,
                  "Cloud down",
                  {"tessarin failed: Cloud down", "Falling back to appleSpeech"}},
        RetryCase{"session fails to open",
                  [](FakeTranscriber& primary) { primary.opening.willThrow(EngineError("Offline")); },
                  clearSpeech,
                  true,
                  "Offline",
                  {"tessarin could not start a session: Offline", "Falling back to appleSpeech"}},
        RetryCase{"blank on clear speech",
                  [](FakeTranscriber& primary) { primary.text = " "; },
                  clearSpeech,
                  true,
                  std::nullopt,
                  {"tessarin returned nothing for clearly audible speech", "Falling back to appleSpeech"}},
        RetryCase{"blank at exactly four times the noise floor",
                  [](FakeTranscriber& primary) { primary.text = ""; },
                  [] { return speechIn(0x1p-9f, 0x1p-7f); },
                  true,
                  std::nullopt,
                  {"Falling back to appleSpeech"}},
        RetryCase{"blank just under four times the noise floor",
                  [](FakeTranscriber& primary) { primary.text = ""; },
                  [] { return speechIn(0x1p-9f, 0.0078f); },
                  false,
                  std::nullopt,
                  {}},
        RetryCase{"blank on faint speech",
                  [](FakeTranscriber& primary) { primary.text = ""; },
                  faintSpeech,
                  false,
                  std::nullopt,
                  {}}),
    [](const ::testing::TestParamInfo<RetryCase>& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST_F(DictationCoordinatorTests, WhenTheFallbackFailsTooTheDictationFailsWithTheFirstErrorToHand) {
    make();
    dictate(clearSpeech(), Hotkey::rightOption());
    const std::optional<DictationResult> first = coordinator->lastResult().get();
    ASSERT_TRUE(first);

    // The first engine's error is the one the user sees.
    cloud->finishing.willThrow(EngineError("Cloud down"));
    apple->finishing.willThrow(EngineError("Apple down"));
    dictate(clearSpeech(), Hotkey::rightOption());
    const auto cloudDown = DictationFailure::transcriptionFailed("Cloud down");
    EXPECT_EQ(state(), DictationState::failed(cloudDown));
    EXPECT_EQ(lastEvent(), (DictationEvent{2, DictationOutcome::failed(cloudDown)}));
    const auto lines = pipelineLog();
    EXPECT_EQ(
        std::vector<std::string>(lines.end() - 4, lines.end()),
        (std::vector<std::string>{"tessarin failed: Cloud down", "Falling back to appleSpeech",
                                  "appleSpeech failed too: Apple down", "Transcription failed: Cloud down"}));

    // After a blank answer there is no first error: the fallback's is reported.
    cloud->finishing.willReturn(cloud->transcript(""));
    apple->finishing.willThrow(EngineError("Apple down"));
    dictate(clearSpeech(), Hotkey::rightOption());
    const auto appleDown = DictationFailure::transcriptionFailed("Apple down");
    EXPECT_EQ(lastEvent(), (DictationEvent{3, DictationOutcome::failed(appleDown)}));

    EXPECT_EQ(coordinator->lastResult().get(), first);
    EXPECT_EQ(inserter->requests.size(), 1u);
}

TEST_F(DictationCoordinatorTests, ATranscriptWithNothingToInsertEndsAsNoSpeech) {
    const struct {
        const char* name;
        Hotkey key;
        std::function<void(FakeTranscriber& apple, FakeTranscriber& cloud)> script;
        bool fellBack;
    } cases[] = {
        // The English key's engine has no fallback: its blank answer goes on to be discarded.
        {"blank without a fallback", Hotkey::function(), [](auto& apple, auto&) { apple.text = " "; }, false},
        {"blank from the fallback too", Hotkey::rightOption(),
         [](auto& apple, auto& cloud) {
             cloud.text = "";
             apple.text = "\n";
         },
         true},
        {"a stock phrase", Hotkey::function(),
         [](auto& apple, auto&) { apple.text = "Thanks for watching!"; }, false},
    };
    make();
    dictate(clearSpeech());
    const std::optional<DictationResult> first = coordinator->lastResult().get();
    ASSERT_TRUE(first);
    std::int64_t id = 1;
    for (const auto& discarded : cases) {
        SCOPED_TRACE(discarded.name);
        discarded.script(*apple, *cloud);
        const std::size_t linesBefore = pipelineLog().size();
        dictate(clearSpeech(), discarded.key);
        EXPECT_EQ(state(), DictationState::idle());
        EXPECT_EQ(lastEvent(), (DictationEvent{++id, DictationOutcome::noSpeech()}));
        const auto lines = pipelineLog();
        EXPECT_EQ(lines.back(), "Discarded empty or hallucinated transcript: <private>");
        EXPECT_EQ(std::count(lines.begin() + linesBefore, lines.end(), "Falling back to appleSpeech"),
                  discarded.fellBack ? 1 : 0);
    }
    EXPECT_EQ(coordinator->lastResult().get(), first);
    EXPECT_EQ(inserter->requests.size(), 1u);
}

TEST_F(DictationCoordinatorTests, ASessionThatDidNotOpenWithoutAFallbackFailsWithItsError) {
    apple->opening.willThrow(EngineError("Speech assets missing"));
    make();
    dictate(clearSpeech()); // English on the on-device engine: nothing to fall back on

    const auto failure = DictationFailure::transcriptionFailed("Speech assets missing");
    EXPECT_EQ(state(), DictationState::failed(failure));
    EXPECT_EQ(lastEvent(), (DictationEvent{1, DictationOutcome::failed(failure)}));
    EXPECT_EQ(audio->stopping.calls(), 1);
    const auto lines = pipelineLog();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
              (std::vector<std::string>{"appleSpeech could not start a session: Speech assets missing",
                                        "Transcription failed: Speech assets missing"}));
}

TEST_F(DictationCoordinatorTests, TheRecorderStopsWhenTheReleaseTailHasPassed) {
    for (const Duration tail : {ms(0), ms(-50), ms(100)}) {
        SCOPED_TRACE(std::to_string(tail.milliseconds()) + " ms");
        TearDown();
        DictationSettings settings;
        settings.releaseTail = tail;
        make(settings);
        const int stopsBefore = audio->stopping.calls();
        press();
        audio->speak(clearSpeech());
        executor.advance(ms(1500));
        release();
        if (tail > Duration::zero()) {
            executor.advance(tail - ms(1));
            EXPECT_EQ(audio->stopping.calls(), stopsBefore);
            EXPECT_EQ(state(), DictationState::recording());
            executor.advance(ms(1));
        }
        EXPECT_EQ(audio->stopping.calls(), stopsBefore + 1);
        ASSERT_TRUE(coordinator->lastResult().get());
        EXPECT_EQ(lastEvent()->outcome, DictationOutcome::transcribed(*coordinator->lastResult().get()));
        EXPECT_EQ(coordinator->lastResult().get()->metrics.releaseToText, std::max(tail, ms(0)));
    }
}

TEST_F(DictationCoordinatorTests, AStopDoesNotAbandonADictationBeingFinished) {
    make();
    press();
    audio->speak(clearSpeech());
    executor.advance(ms(1500));
    release();
    coordinator->stop(); // during the release tail, which it cuts short
    executor.runUntilIdle();
    EXPECT_EQ(audio->stopping.calls(), 1);
    EXPECT_EQ(lastEvent(),
              (DictationEvent{1, DictationOutcome::transcribed(*coordinator->lastResult().get())}));

    coordinator->start();
    executor.runUntilIdle();
    apple->finishing.hold();
    dictate(clearSpeech());
    coordinator->stop(); // while transcribing
    apple->finishing.release();
    executor.runUntilIdle();
    EXPECT_EQ(lastEvent(),
              (DictationEvent{2, DictationOutcome::transcribed(*coordinator->lastResult().get())}));
    EXPECT_EQ(inserter->requests.size(), 2u);
    EXPECT_FALSE(logged("Recording cancelled: coordinator stopped"));
}

TEST_F(DictationCoordinatorTests, AMaximumDurationTimerOutlivingItsRecordingChangesNothing) {
    DictationSettings settings;
    settings.maximumRecording = Duration::seconds(std::int64_t{2});
    make(settings);
    dictate(clearSpeech()); // released after 1.5 s, finished at 1.6 s
    press();                // the next recording, whose own limit falls at 3.6 s
    executor.advance(ms(1900));
    EXPECT_FALSE(logged("Maximum recording duration reached"));
    EXPECT_EQ(state(), DictationState::recording());
    EXPECT_EQ(lastEvent()->id, 1);

    audio->speak(clearSpeech());
    executor.advance(ms(100));
    EXPECT_TRUE(logged("Maximum recording duration reached"));
    executor.advance(ms(100));
    EXPECT_EQ(lastEvent()->id, 2);
    EXPECT_EQ(coordinator->lastResult().get()->metrics.holdDuration, Duration::seconds(std::int64_t{2}));
}

TEST_F(DictationCoordinatorTests, WithoutAnEngineForTheLanguageTheDictationFailsAtOnce) {
    DictationSettings settings;
    settings.setBindings({{Hotkey::function(), DictationLanguage::english},
                          {Hotkey::rightCommand(), DictationLanguage::automatic}});
    settings.engines.automatic =
        EngineID::appleSpeech; // which cannot do automatic; no other local engine can
    make(settings);

    press(Hotkey::rightCommand());
    const auto noEngine = DictationFailure::noEngineAvailable(DictationLanguage::automatic);
    EXPECT_EQ(state(), DictationState::failed(noEngine));
    EXPECT_EQ(lastEvent(), (DictationEvent{1, DictationOutcome::failed(noEngine)}));
    EXPECT_EQ(coordinator->recordingLanguage().get(), std::nullopt);
    EXPECT_EQ(audio->starting.calls(), 0);
    EXPECT_EQ(pipelineLog().size(), 1u); // only "Listening for ..."

    executor.advance(ms(1000));
    release(Hotkey::rightCommand());
    EXPECT_EQ(lastEvent()->id, 1);
    press(); // the failure is no dead end
    EXPECT_EQ(state(), DictationState::recording());
}

TEST_F(DictationCoordinatorTests, AMicrophoneThatDoesNotStartFailsTheDictation) {
    audio->starting.willThrow(EngineError("No input device"));
    make();

    press();
    const auto unavailable = DictationFailure::microphoneUnavailable("No input device");
    EXPECT_EQ(state(), DictationState::failed(unavailable));
    EXPECT_EQ(lastEvent(), (DictationEvent{1, DictationOutcome::failed(unavailable)}));
    EXPECT_EQ(coordinator->recordingLanguage().get(), DictationLanguage::english);
    EXPECT_TRUE(logged("Microphone failed to start: No input device"));
    EXPECT_TRUE(apple->sessions.empty());

    executor.advance(ms(1000));
    release();
    EXPECT_EQ(lastEvent()->id, 1);
    EXPECT_EQ(audio->stopping.calls(), 0);
}

TEST_F(DictationCoordinatorTests, AKeyPressedWhileTranscribingWaitsAndIsHandledAfterwards) {
    make();
    apple->finishing.hold();
    dictate(clearSpeech());
    ASSERT_EQ(state(), DictationState::transcribing());

    press();
    executor.advance(ms(1000));
    EXPECT_EQ(audio->starting.calls(), 1);
    EXPECT_EQ(state(), DictationState::transcribing());

    apple->finishing.release();
    executor.runUntilIdle();
    EXPECT_EQ(lastEvent()->id, 1);
    EXPECT_EQ(inserter->requests.size(), 1u);
    EXPECT_EQ(audio->starting.calls(), 2);
    EXPECT_EQ(state(), DictationState::recording());
}

TEST_F(DictationCoordinatorTests, SettingsAreReadWhenTheyAreNeeded) {
    make();
    apple->finishing.hold();
    dictate(clearSpeech());
    coordinator->editSettings([](DictationSettings& settings) {
        settings.appendsTrailingSpace = false;
        settings.insertionMethod = InsertionMethod::type;
        settings.restoresClipboard = false;
    });
    apple->finishing.release();
    executor.runUntilIdle();

    EXPECT_EQ(inserter->requests,
              (std::vector<InsertionRequest>{{"hello world", std::nullopt, InsertionMethod::type, false}}));
}

TEST_F(DictationCoordinatorTests, StopDuringARecordingAbortsItAfterStopReturns) {
    make();
    press();
    audio->speak(clearSpeech());
    executor.runUntilIdle();

    coordinator->stop();
    EXPECT_FALSE(coordinator->isRunning());
    EXPECT_EQ(hotkeys->stops, 1);
    EXPECT_EQ(audio->stopping.calls(), 0); // the abort runs in a task of its own
    executor.runUntilIdle();

    EXPECT_EQ(audio->stopping.calls(), 1);
    EXPECT_EQ(apple->sessions[0]->cancels, 1);
    EXPECT_EQ(state(), DictationState::idle());
    EXPECT_EQ(lastEvent(), (DictationEvent{1, DictationOutcome::cancelled()}));
    EXPECT_TRUE(logged("Recording cancelled: coordinator stopped"));
    EXPECT_EQ(coordinator->lastClip().get(), std::nullopt);
}

// A stop and restart while a recording's start is still waiting on a port: once the start completes, the
// recording belongs to the stopped run and is aborted; the restarted coordinator records afresh.
class DictationCoordinatorStaleStartTests : public DictationCoordinatorTests,
                                            public ::testing::WithParamInterface<const char*> {
protected:
    FakeOperation<void>* heldOperation() {
        const std::string which = GetParam();
        return which == "recorder" ? &audio->starting : which == "engine" ? &apple->opening : nullptr;
    }
    void hold() {
        if (auto* operation = heldOperation()) {
            operation->hold();
        } else {
            frontmost->lookup.hold();
        }
    }
    void resume() {
        if (auto* operation = heldOperation()) {
            operation->release();
        } else {
            frontmost->lookup.release();
        }
        executor.runUntilIdle();
    }
};

TEST_P(DictationCoordinatorStaleStartTests, AStartThatCompletesAfterAStopIsAborted) {
    make();
    hold();
    press();
    audio->speak(tone(ms(500), 0.2f)); // heard only if the recorder has started
    coordinator->stop();
    coordinator->start();
    executor.runUntilIdle();
    press(); // on the restarted coordinator: waits for the stopped run's start
    EXPECT_EQ(audio->starting.calls(), 1);

    resume();
    EXPECT_EQ(audio->stopping.calls(), 1);
    // Only a start held up by the engine got as far as opening a session, which the abort cancels.
    const bool openedStaleSession = std::string(GetParam()) == "engine";
    ASSERT_EQ(apple->sessions.size(), openedStaleSession ? 2u : 1u);
    EXPECT_EQ(apple->sessions[0]->cancels, openedStaleSession ? 1 : 0);
    EXPECT_TRUE(logged("Recording cancelled: coordinator stopped"));
    ASSERT_TRUE(lastEvent());
    EXPECT_EQ(*lastEvent(), (DictationEvent{1, DictationOutcome::cancelled()}));

    // The press made after the restart now records, and its release finishes its own recording only.
    EXPECT_EQ(audio->starting.calls(), 2);
    EXPECT_EQ(state(), DictationState::recording());
    const std::vector<float> clip = clearSpeech();
    speakAndRelease(clip);
    EXPECT_EQ(lastEvent()->id, 2);
    EXPECT_EQ(coordinator->lastClip().get(), AudioClip{clip});
    EXPECT_EQ(inserter->requests.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(WhileWaitingOn, DictationCoordinatorStaleStartTests,
                         ::testing::Values("recorder", "frontApplication", "engine"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

TEST_F(DictationCoordinatorTests, TheAbortOfAStopNeverEndsARecordingBegunAfterARestart) {
    make();
    press();
    audio->speak(tone(ms(500), 0.2f));
    audio->stopping.hold();
    coordinator->stop();
    coordinator->start();
    executor.runUntilIdle();
    press(); // while the abort still waits for the recorder to stop

    audio->stopping.release();
    executor.runUntilIdle();
    EXPECT_EQ(lastEvent(), (DictationEvent{1, DictationOutcome::cancelled()}));
    EXPECT_EQ(audio->starting.calls(), 2);
    EXPECT_TRUE(audio->isRecording());
    EXPECT_EQ(state(), DictationState::recording());

    const std::vector<float> clip = clearSpeech();
    speakAndRelease(clip);
    EXPECT_EQ(lastEvent()->id, 2);
    EXPECT_EQ(coordinator->lastClip().get(), AudioClip{clip});
    EXPECT_EQ(apple->sessions.back()->appended, std::vector<AudioChunk>{AudioChunk{clip}});
}

TEST_F(DictationCoordinatorTests, MaximumRecordingDurationsAtTheEndsOfTheRangeDoNotOverflow) {
    const struct {
        Duration maximum;
        bool endsAtOnce;
    } cases[] = {
        {Duration::fromHighLow(std::numeric_limits<std::int64_t>::max(), ~std::uint64_t{0}), false},
        {Duration::fromHighLow(std::numeric_limits<std::int64_t>::min(), 0), true},
    };
    for (const auto& limit : cases) {
        SCOPED_TRACE(limit.endsAtOnce ? "most negative" : "largest");
        TearDown();
        DictationSettings settings;
        settings.maximumRecording = limit.maximum;
        make(settings);
        press();
        executor.advance(Duration::seconds(std::int64_t{3600}));
        EXPECT_EQ(state() != DictationState::recording(), limit.endsAtOnce);
        EXPECT_EQ(logged("Maximum recording duration reached"), limit.endsAtOnce);
    }
}

TEST_F(DictationCoordinatorTests, TheLogNamesTheKeysAsItIsTold) {
    coordinator = DictationCoordinator::create(
        hotkeys, audio, TranscriberRouter({apple, cloud}), inserter, frontmost, DictationSettings(),
        systemTrimmer(), TranscriptPostProcessor{}, executor,
        [](const Hotkey& key) { return "key " + std::to_string(key.keyCode); });
    coordinator->start();
    executor.runUntilIdle();
    press();
    EXPECT_EQ(pipelineLog(), (std::vector<std::string>{"Listening for key 63, key 61",
                                                       "key 63 \u2192 english on appleSpeech"}));
}

TEST_F(DictationCoordinatorTests, StartAndStopWatchTheKeysOfTheSettings) {
    coordinator = DictationCoordinator::create(hotkeys, audio, TranscriberRouter({apple, cloud}), inserter,
                                               frontmost, DictationSettings(), systemTrimmer(),
                                               TranscriptPostProcessor{}, executor);
    coordinator->stop(); // never started: only the source is told
    EXPECT_EQ(hotkeys->stops, 1);
    EXPECT_FALSE(coordinator->isRunning());

    hotkeys->startError = std::make_exception_ptr(EngineError("Input monitoring is not allowed"));
    EXPECT_THROW(coordinator->start(), EngineError);
    EXPECT_FALSE(coordinator->isRunning());
    hotkeys->startError = nullptr;

    coordinator->start();
    coordinator->start(); // already running: nothing
    EXPECT_TRUE(coordinator->isRunning());
    EXPECT_EQ(hotkeys->starts,
              (std::vector<std::vector<Hotkey>>{{Hotkey::function(), Hotkey::rightOption()}}));

    coordinator->stop();
    coordinator->start(); // a new input stream: dictation works again
    executor.runUntilIdle();
    dictate(clearSpeech());
    EXPECT_EQ(lastEvent()->id, 1);
    EXPECT_EQ(inserter->requests.size(), 1u);
}

TEST_F(DictationCoordinatorTests, ChangingTheKeysRestartsTheSourceAndOtherSettingsDoNot) {
    make();
    int notifications = 0;
    auto observation = coordinator->settings().observe([&](const DictationSettings&) { ++notifications; });

    coordinator->setSettings(coordinator->settings().get()); // equal: nobody is told
    coordinator->editSettings([](DictationSettings& settings) { settings.vocabularyPrompt = "Tessarin"; });
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(hotkeys->starts.size(), 1u);

    press();
    coordinator->editSettings([](DictationSettings& settings) {
        settings.setBindings({{Hotkey::rightShift(), DictationLanguage::english}});
    });
    executor.runUntilIdle();
    EXPECT_EQ(hotkeys->starts.back(), std::vector<Hotkey>{Hotkey::rightShift()});
    EXPECT_TRUE(coordinator->isRunning());
    EXPECT_EQ(lastEvent(), (DictationEvent{1, DictationOutcome::cancelled()}));
    EXPECT_TRUE(logged("Recording cancelled: coordinator stopped"));

    hotkeys->startError = std::make_exception_ptr(EngineError("Input monitoring is not allowed"));
    coordinator->editSettings([](DictationSettings& settings) {
        settings.setBindings({{Hotkey::rightControl(), DictationLanguage::english}});
    });
    EXPECT_FALSE(coordinator->isRunning());
    EXPECT_TRUE(logged("Hotkeys could not restart: Input monitoring is not allowed"));
}

TEST_F(DictationCoordinatorTests, ANewMinimumHoldAppliesToTheNextRelease) {
    make();
    coordinator->editSettings([](DictationSettings& settings) { settings.minimumHold = ms(500); });
    press();
    audio->speak(clearSpeech());
    executor.advance(ms(300));
    release();
    EXPECT_EQ(lastEvent(), (DictationEvent{1, DictationOutcome::cancelled()}));
    EXPECT_TRUE(logged("Recording cancelled: tooShort"));
}

TEST_F(DictationCoordinatorTests, ItsTasksDoNotKeepTheCoordinatorAlive) {
    make();
    std::weak_ptr<DictationCoordinator> weak = coordinator;
    coordinator.reset();
    EXPECT_TRUE(weak.expired());

    press(); // dropped by the input loop
    EXPECT_EQ(audio->starting.calls(), 0);
    hotkeys->stop(); // ends the forwarder and with it the input loop
    executor.runUntilIdle();
    EXPECT_FALSE(executor.hasPendingJobs());
}

} // namespace
