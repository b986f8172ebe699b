#include "App/HUD/HUDModel.h"

#include "System/Concurrency/ManualExecutor.h"
#include "TessarinPlatform/Cloud/TessarinCloudTranscriber.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace Parlindo;
using namespace TessarinCore;
using System::Concurrency::ManualExecutor;
using System::Concurrency::Observed;
using Phase = HUDModel::Phase;
using Style = HUDModel::Style;

namespace {

Duration ms(std::int64_t count) {
    return Duration::milliseconds(count);
}

DictationResult result(std::string text, InsertionOutcome outcome,
                       std::optional<std::string> fallbackReason = std::nullopt) {
    DictationResult result;
    result.text = text;
    result.transcript = Transcript{std::move(text), "en", EngineID::appleSpeech};
    result.outcome = std::move(outcome);
    result.fallbackReason = std::move(fallbackReason);
    return result;
}

class FakePanel final : public HUDPanel {
public:
    explicit FakePanel(std::vector<std::string>& calls)
        : calls_(calls) {}
    void present() override { calls_.push_back("present"); }
    void orderOut() override { calls_.push_back("orderOut"); }

private:
    std::vector<std::string>& calls_;
};

class HUDModelTest : public testing::Test {
protected:
    void SetUp() override {
        model = HUDModel::create(HUDModel::Source{ReadOnlyObserved(state), ReadOnlyObserved(lastEvent),
                                                  ReadOnlyObserved(inputLevel),
                                                  ReadOnlyObserved(recordingLanguage), nullptr},
                                 executor, [this](HUDModel&) {
                                     ++panelsMade;
                                     return std::make_unique<FakePanel>(panelCalls);
                                 });
        executor.runUntilIdle();
    }
    void TearDown() override {
        model.reset();
        executor.runUntilIdle();
    }

    void publish(DictationOutcome outcome) {
        lastEvent.set(DictationEvent{++eventCount, std::move(outcome)});
        executor.runUntilIdle();
    }
    void enter(DictationState newState) {
        state.set(std::move(newState));
        executor.runUntilIdle();
    }
    Phase phase() { return model->phase().get(); }

    ManualExecutor executor;
    Observed<DictationState> state{DictationState::idle()};
    Observed<std::optional<DictationEvent>> lastEvent;
    Observed<float> inputLevel{0.0f};
    Observed<std::optional<DictationLanguage>> recordingLanguage;
    std::int64_t eventCount = 0;
    int panelsMade = 0;
    std::vector<std::string> panelCalls;
    std::shared_ptr<HUDModel> model;
};

} // namespace

TEST_F(HUDModelTest, StartsHiddenWithoutAPanel) {
    EXPECT_EQ(phase(), Phase::hidden());
    EXPECT_EQ(model->levels().get(), std::vector<float>(28, 0.0f));
    EXPECT_EQ(model->language().get(), std::nullopt);
    EXPECT_EQ(panelsMade, 0);
}

TEST_F(HUDModelTest, EveryOutcomeShowsItsMessageForItsDisplayTime) {
    struct Case {
        std::string name;
        DictationOutcome outcome;
        Phase expected;
        Duration displayTime;
    };
    const std::string silentHint = "Quit and reopen Parlindo. Still silent? Check that the microphone isn't "
                                   "muted in your sound settings.";
    const std::vector<Case> cases{
        {"inserted", DictationOutcome::transcribed(result("Hello there", InsertionOutcome::inserted())),
         Phase::message("Hello there", std::nullopt, Style::success), ms(1500)},
        {"inserted after a fallback",
         DictationOutcome::transcribed(
             result("Hello there", InsertionOutcome::inserted(), "Parlindo Cloud couldn't be reached.")),
         Phase::message("Hello there",
                        "Parlindo Cloud couldn't be reached. Transcribed on this computer instead.",
                        Style::success),
         ms(5000)},
        {"copied",
         DictationOutcome::transcribed(
             result("Hello there",
                    InsertionOutcome::copiedToClipboard("Secure input is on in the front application"))),
         Phase::message("Hello there",
                        "Copied. Press Ctrl+V to paste. Secure input is on in the front application.",
                        Style::info),
         ms(5000)},
        {"skipped",
         DictationOutcome::transcribed(
             result("Hello there", InsertionOutcome::skipped("Nothing to insert."))),
         Phase::message("Hello there", "Nothing to insert.", Style::info), ms(4000)},
        {"microphone unavailable",
         DictationOutcome::failed(DictationFailure::microphoneUnavailable("no input device")),
         Phase::message("Microphone unavailable: no input device", std::nullopt, Style::warning), ms(4000)},
        {"no engine",
         DictationOutcome::failed(DictationFailure::noEngineAvailable(DictationLanguage::arabic)),
         Phase::message("No speech engine for Arabic (\u0627\u0644\u0639\u0631\u0628\u064A\u0629)",
                        std::nullopt, Style::warning),
         ms(4000)},
        {"no engine for automatic",
         DictationOutcome::failed(DictationFailure::noEngineAvailable(DictationLanguage::automatic)),
         Phase::message("No speech engine for Auto-detect", std::nullopt, Style::warning), ms(4000)},
        {"transcription failed", DictationOutcome::failed(DictationFailure::transcriptionFailed("timed out")),
         Phase::message("Transcription failed: timed out", std::nullopt, Style::warning), ms(4000)},
        {"cloud not set up",
         DictationOutcome::failed(DictationFailure::transcriptionFailed(
             TessarinPlatform::TessarinCloudTranscriber::CloudError::notConfigured().description())),
         Phase::message("Parlindo Cloud is not set up",
                        "Start Parlindo with PARLINDO_API_URL set to your server\u2019s address.",
                        Style::warning),
         ms(6000)},
        {"microphone silent", DictationOutcome::failed(DictationFailure::microphoneSilent()),
         Phase::message("The microphone sent no sound", silentHint, Style::warning), ms(6000)},
        {"no speech", DictationOutcome::noSpeech(),
         Phase::message("No speech detected", std::nullopt, Style::info), ms(1500)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        panelCalls.clear();
        publish(c.outcome);
        EXPECT_EQ(phase(), c.expected);
        EXPECT_EQ(panelCalls, std::vector<std::string>{"present"});

        executor.advance(c.displayTime - ms(1));
        EXPECT_EQ(phase(), c.expected);
        executor.advance(ms(1));
        EXPECT_EQ(phase(), Phase::hidden());
        executor.advance(ms(249));
        EXPECT_EQ(panelCalls, std::vector<std::string>{"present"});
        executor.advance(ms(1));
        EXPECT_EQ(panelCalls, (std::vector<std::string>{"present", "orderOut"}));
    }
    EXPECT_EQ(panelsMade, 1);
}

TEST_F(HUDModelTest, ACancelledDictationHidesThePillWithoutAMessage) {
    recordingLanguage.set(DictationLanguage::english);
    enter(DictationState::recording());
    ASSERT_EQ(phase(), Phase::listening());

    lastEvent.set(DictationEvent{1, DictationOutcome::cancelled()});
    state.set(DictationState::idle());
    executor.runUntilIdle();

    EXPECT_EQ(phase(), Phase::hidden());
    executor.advance(ms(250));
    EXPECT_EQ(panelCalls, (std::vector<std::string>{"present", "orderOut"}));
}

TEST_F(HUDModelTest, RecordingListensWithFreshLevelsAndTheKeysLanguageThenTranscribes) {
    recordingLanguage.set(DictationLanguage::arabic);
    enter(DictationState::recording());
    EXPECT_EQ(phase(), Phase::listening());
    EXPECT_EQ(model->language().get(), DictationLanguage::arabic);

    inputLevel.set(1.0f);
    executor.runUntilIdle();
    EXPECT_EQ(model->levels().get().back(), 1.0f);

    enter(DictationState::transcribing());
    EXPECT_EQ(phase(), Phase::transcribing());
    enter(DictationState::inserting());
    EXPECT_EQ(phase(), Phase::transcribing());
    executor.advance(Duration::seconds(std::int64_t{60}));
    EXPECT_EQ(phase(), Phase::transcribing());

    // The next recording starts the meter from silence again; the language stays until a new one is set.
    enter(DictationState::recording());
    EXPECT_EQ(model->levels().get(), std::vector<float>(28, 0.0f));
    EXPECT_EQ(model->language().get(), DictationLanguage::arabic);
    EXPECT_EQ(panelCalls, (std::vector<std::string>{"present", "present", "present", "present"}));
}

TEST_F(HUDModelTest, ANewRecordingReplacesAShownMessageAndCancelsItsDismissal) {
    publish(DictationOutcome::noSpeech());
    executor.advance(ms(1000));
    enter(DictationState::recording());
    EXPECT_EQ(phase(), Phase::listening());
    executor.advance(Duration::seconds(std::int64_t{10}));
    EXPECT_EQ(phase(), Phase::listening());
    EXPECT_EQ(panelCalls, (std::vector<std::string>{"present", "present"}));
}

TEST_F(HUDModelTest, AnEventAlreadyShownIsNotShownAgainWhileTheStateGoesOn) {
    publish(DictationOutcome::noSpeech());
    executor.advance(ms(1500 + 250));
    enter(DictationState::idle());
    enter(DictationState::failed(DictationFailure::microphoneSilent()));
    EXPECT_EQ(phase(), Phase::hidden());

    enter(DictationState::recording());
    EXPECT_EQ(phase(), Phase::listening());
}

TEST_F(HUDModelTest, ANewEventWinsOverTheStateDeliveredWithIt) {
    state.set(DictationState::recording());
    lastEvent.set(DictationEvent{1, DictationOutcome::noSpeech()});
    executor.runUntilIdle();
    EXPECT_EQ(phase(), Phase::message("No speech detected", std::nullopt, Style::info));
}

TEST_F(HUDModelTest, PresentingSoonAfterADismissalKeepsThePanelOnScreen) {
    publish(DictationOutcome::noSpeech());
    executor.advance(ms(1500));
    ASSERT_EQ(phase(), Phase::hidden());
    executor.advance(ms(200));
    enter(DictationState::recording());
    executor.advance(Duration::seconds(std::int64_t{1}));
    EXPECT_EQ(panelCalls, (std::vector<std::string>{"present", "present"}));
}

TEST_F(HUDModelTest, LevelsMapDecibelsOntoTheMeterOnlyWhileListening) {
    EXPECT_EQ(HUDModel::normalizedLevel(0.0f), 0.0f);
    EXPECT_EQ(HUDModel::normalizedLevel(-1.0f), 0.0f);
    EXPECT_EQ(HUDModel::normalizedLevel(1.0f), 1.0f);
    EXPECT_EQ(HUDModel::normalizedLevel(2.0f), 1.0f);
    EXPECT_NEAR(HUDModel::normalizedLevel(std::pow(10.0f, -35.0f / 20.0f)), 20.0f / 45.0f, 1e-5);

    inputLevel.set(1.0f);
    executor.runUntilIdle();
    EXPECT_EQ(model->levels().get(), std::vector<float>(28, 0.0f));

    enter(DictationState::recording());
    for (const float level : {0.5f, 0.01f, 1.0f}) {
        inputLevel.set(level);
        executor.runUntilIdle();
    }
    const auto& levels = model->levels().get();
    ASSERT_EQ(levels.size(), 28u);
    EXPECT_EQ(levels[24], 0.0f);
    EXPECT_NEAR(levels[25], HUDModel::normalizedLevel(0.5f), 1e-6);
    EXPECT_NEAR(levels[26], HUDModel::normalizedLevel(0.01f), 1e-6);
    EXPECT_EQ(levels[27], 1.0f);

    enter(DictationState::transcribing());
    inputLevel.set(0.2f);
    executor.runUntilIdle();
    EXPECT_EQ(model->levels().get()[27], 1.0f);
}
