// Exact transcripts through the real stages: the scripted decoder says which token each position predicts,
// and everything else (prompt, filters, sampler, fallback, seeker) is the pipeline's own.

#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "PipelineTesting.h"
#include "System/Concurrency/BlockingRun.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace {

using namespace ZodozorEro;
using namespace PipelineTesting;
using System::Concurrency::blockingRun;
using TinyModelGenerator::ScriptStep;

constexpr int sampleRate = 16000;

std::vector<float> audio(double seconds) { return std::vector<float>(std::size_t(seconds * sampleRate), 0.01f); }

// Steps that answer the prompt's positions with a plain text token (their predictions are discarded), then
// `continuation`, one token per position, then the end of the text.
std::vector<ScriptStep> scriptAfterPrompt(std::size_t promptLength, const std::vector<int>& continuation) {
    std::vector<ScriptStep> script(promptLength - 1, ScriptStep::token(encoded(" x").front()));
    for (int token : continuation) {
        script.push_back(ScriptStep::token(token));
    }
    script.push_back(ScriptStep::token(tokenizer()->specialTokens().endToken));
    return script;
}

std::vector<int> joined(std::initializer_list<std::vector<int>> parts) {
    std::vector<int> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Options with no quality check, so a scripted text is accepted as it is.
DecodingOptions acceptingOptions() {
    DecodingOptions options;
    options.language = "en";
    options.compressionRatioThreshold = std::nullopt;
    options.logProbThreshold = std::nullopt;
    options.firstTokenLogProbThreshold = std::nullopt;
    options.noSpeechThreshold = std::nullopt;
    return options;
}

struct SegmentSummary {
    float start;
    float end;
    std::string text;
    bool operator==(const SegmentSummary&) const = default;
};

void PrintTo(const SegmentSummary& segment, std::ostream* out) {
    *out << "[" << segment.start << " -> " << segment.end << "] \"" << segment.text << "\"";
}

std::vector<SegmentSummary> summaries(const std::vector<TranscriptionSegment>& segments) {
    std::vector<SegmentSummary> result;
    for (const auto& segment : segments) {
        result.push_back({segment.start, segment.end, segment.text});
    }
    return result;
}

struct PromptCase {
    friend void PrintTo(const PromptCase& param, std::ostream* out) { *out << param.name; }

    std::string name;
    bool multilingual;
    bool withoutTimestamps;
    std::optional<std::string> previousText;
    std::string language = "en";
    DecodingTask task = DecodingTask::transcribe;
};

class PromptTranscriptTest : public ::testing::TestWithParam<PromptCase> {};

TEST_P(PromptTranscriptTest, TheWindowStartsFromItsPromptAndDecodesTheScriptedText) {
    const auto& param = GetParam();
    const auto& special = tokenizer()->specialTokens();

    std::vector<int> expectedPrompt{special.startOfTranscriptToken};
    if (param.multilingual) {
        expectedPrompt.push_back(id("<|" + param.language + "|>"));
        expectedPrompt.push_back(param.task == DecodingTask::translate ? special.translateToken
                                                                       : special.transcribeToken);
    }
    expectedPrompt.push_back(param.withoutTimestamps ? special.noTimestampsToken : special.timeTokenBegin);
    if (param.previousText) {
        auto previous = encoded(*param.previousText);
        previous.insert(previous.begin(), special.startOfPreviousToken);
        expectedPrompt.insert(expectedPrompt.begin(), previous.begin(), previous.end());
    }

    const auto hello = encoded(" Hello world");
    const auto again = encoded(" again");
    const std::vector<int> continuation =
        param.withoutTimestamps
            ? joined({hello, again})
            : joined({hello, {timestamp(1.0), timestamp(1.0)}, again, {timestamp(2.0)}});
    auto pipeline = Pipeline::scripted(scriptAfterPrompt(expectedPrompt.size(), continuation), param.multilingual);
    auto task = pipeline->makeTask();

    auto options = acceptingOptions();
    options.language = param.language;
    options.task = param.task;
    options.withoutTimestamps = param.withoutTimestamps;
    options.skipSpecialTokens = true;
    if (param.previousText) {
        options.promptTokens = encoded(*param.previousText);
    }
    const auto result = blockingRun(task->run(audio(3), options));

    // The prompt went through the model token by token before the first sampled position.
    const auto calls = pipeline->decoder->calls();
    ASSERT_GE(calls.size(), expectedPrompt.size());
    for (std::size_t position = 0; position < expectedPrompt.size(); ++position) {
        EXPECT_EQ(calls[position].cacheLength, int(position));
        EXPECT_EQ(calls[position].token, expectedPrompt[position]) << "position " << position;
    }

    EXPECT_EQ(result.text(), "Hello world again");
    EXPECT_EQ(result.language(), param.language);
    if (param.withoutTimestamps) {
        EXPECT_THAT(summaries(result.segments()),
                    ::testing::ElementsAre(SegmentSummary{0.0f, 3.0f, " Hello world again"}));
    } else {
        EXPECT_THAT(summaries(result.segments()),
                    ::testing::ElementsAre(SegmentSummary{0.0f, 1.0f, " Hello world"},
                                           SegmentSummary{1.0f, 2.0f, " again"}));
    }
    for (const auto& segment : result.segments()) {
        EXPECT_EQ(segment.temperature, 0.0f);
    }
    EXPECT_EQ(result.timings().totalDecodingWindows, 1);
    EXPECT_EQ(result.timings().totalDecodingFallbacks, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Prompts, PromptTranscriptTest,
    ::testing::Values(PromptCase{"MultilingualWithTimestamps", true, false, std::nullopt},
                      PromptCase{"MultilingualWithoutTimestamps", true, true, std::nullopt},
                      PromptCase{"EnglishOnlyWithTimestamps", false, false, std::nullopt},
                      PromptCase{"EnglishOnlyWithoutTimestamps", false, true, std::nullopt},
                      PromptCase{"PreviousTextWithTimestamps", true, false, " Earlier words were said."},
                      PromptCase{"PreviousTextWithoutTimestamps", false, true, " Earlier words."},
                      PromptCase{"GermanTranslated", true, false, std::nullopt, "de", DecodingTask::translate}),
    [](const auto& info) { return info.param.name; });

} // namespace
