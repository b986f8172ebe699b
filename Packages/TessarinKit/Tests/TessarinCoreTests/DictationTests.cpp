#include "TessarinCore/Domain/Dictation.h"

#include <gtest/gtest.h>

namespace TessarinCore {
namespace {

TEST(DictationTests, DurationConversionsRoundHalvesAwayFromZero) {
    const struct {
        double seconds;
        std::int64_t milliseconds;
    } cases[] = {
        {0.0015, 2},   {0.0025, 3},    {0.1, 100},      {-0.0015, -2},
        {-0.0025, -3}, {0.0014999, 1}, {300.0, 300000}, {0, 0},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(Duration::seconds(testCase.seconds).milliseconds(), testCase.milliseconds)
            << testCase.seconds;
    }
    EXPECT_EQ(Duration::attoseconds(1'500'000'000'000'000).milliseconds(), 2);
    EXPECT_DOUBLE_EQ(Duration::milliseconds(1500).timeInterval(), 1.5);
    EXPECT_DOUBLE_EQ((-Duration::milliseconds(1500)).timeInterval(), -1.5);
}

TEST(DictationTests, InsertionMethodRawValuesAreCaseSensitive) {
    EXPECT_EQ(fromRawValue<InsertionMethod>("paste"), InsertionMethod::paste);
    EXPECT_EQ(fromRawValue<InsertionMethod>("Paste"), std::nullopt);
    EXPECT_EQ(allCases<InsertionMethod>(), (std::array{InsertionMethod::paste, InsertionMethod::type}));
    EXPECT_EQ(displayName(InsertionMethod::paste), "Pasting (\u2318V)");
    EXPECT_EQ(displayName(InsertionMethod::type), "Typing");
}

TEST(DictationTests, OutcomesCompareByCaseAndPayload) {
    EXPECT_NE(InsertionOutcome::copiedToClipboard("a"), InsertionOutcome::copiedToClipboard("b"));
    EXPECT_NE(InsertionOutcome::copiedToClipboard("a"), InsertionOutcome::skipped("a"));
    EXPECT_EQ(InsertionOutcome::skipped("a"), InsertionOutcome::skipped("a"));
    EXPECT_NE((DictationEvent{1, DictationOutcome::noSpeech()}),
              (DictationEvent{2, DictationOutcome::noSpeech()}));
    EXPECT_NE((DictationEvent{1, DictationOutcome::noSpeech()}),
              (DictationEvent{1, DictationOutcome::cancelled()}));
    EXPECT_NE(DictationState::failed(DictationFailure::transcriptionFailed("x")),
              DictationState::failed(DictationFailure::transcriptionFailed("y")));
    EXPECT_EQ(DictationState::failed(DictationFailure::microphoneSilent()),
              DictationState::failed(DictationFailure::microphoneSilent()));
    EXPECT_NE((AppIdentity{std::nullopt, 1, std::nullopt}), (AppIdentity{"", 1, std::nullopt}));
}

TEST(DictationTests, FailureDescriptionsAreTheSentencesShownToTheUser) {
    const struct {
        DictationFailure failure;
        std::string description;
    } cases[] = {
        {DictationFailure::microphoneUnavailable("busy"), "Microphone unavailable: busy"},
        {DictationFailure::noEngineAvailable(DictationLanguage::automatic),
         "No speech engine for Auto-detect"},
        {DictationFailure::transcriptionFailed("offline"), "Transcription failed: offline"},
        {DictationFailure::microphoneSilent(), "The microphone sent no sound"},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(testCase.failure.description(), testCase.description);
        try {
            throw testCase.failure;
        } catch (const std::exception& error) {
            EXPECT_STREQ(error.what(), testCase.description.c_str());
        }
    }
}

} // namespace
} // namespace TessarinCore
