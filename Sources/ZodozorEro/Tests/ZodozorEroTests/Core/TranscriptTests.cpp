// Exact transcripts through the real stages: the scripted decoder says which token each position predicts,
// and everything else (prompt, filters, sampler, fallback, seeker) is the pipeline's own.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../Data/LogCapture.h"
#include "../Text/FakeTokenizer.h"
#include "PipelineTesting.h"
#include "System/Concurrency/BlockingRun.h"
#include "System/Log/Logger.h"
#include "VuzadoDudi/FoundationExtensions.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Utilities/PipelineLogging.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace {

using namespace ZodozorEro;
using namespace PipelineTesting;
using System::Concurrency::blockingRun;
using TinyModelGenerator::ScriptStep;

constexpr int sampleRate = 16000;

std::vector<float> audio(double seconds) {
    return std::vector<float>(std::size_t(seconds * sampleRate), 0.01f);
}

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
        param.withoutTimestamps ? joined({hello, again})
                                : joined({hello, {timestamp(1.0), timestamp(1.0)}, again, {timestamp(2.0)}});
    auto pipeline =
        Pipeline::scripted(scriptAfterPrompt(expectedPrompt.size(), continuation), param.multilingual);
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
                      PromptCase{"GermanTranslated", true, false, std::nullopt, "de",
                                 DecodingTask::translate}),
    [](const auto& info) { return info.param.name; });

} // namespace

namespace {

// Logits that all but tie the tokens: each a hair below the one before, so the first is the likeliest and
// takes about 1 / count of the probability.
ScriptStep tie(std::vector<int> tokens) {
    ScriptStep step;
    for (std::size_t index = 0; index < tokens.size(); ++index) {
        step.logits[tokens[index]] = -1e-4f * float(index);
    }
    return step;
}

// Once the model has chosen a timestamp, no later one goes back before it: each segment ends at or after its
// start and begins where the one before it ended. The first timestamp, 0.46, is the model's own choice for
// the prompt's last slot; where a later step prefers an earlier time, a lawful one lies a hair below it.
enum class AfterFirstTimestamp {
    // " Hello", then 0.06 twice (0.60 next best), " again", 2.10
    wordThenEarlierTimes,
    // 0.20 (" Hello" next best), " world", 1.00 twice, " again", 2.10: a second timestamp right after the
    // first would close an empty segment that runs back in time
    earlierTimeBeforeAnyWord,
};

std::vector<ScriptStep> steps(AfterFirstTimestamp kind) {
    std::vector<ScriptStep> steps;
    const auto say = [&](const std::string& text) {
        for (int token : encoded(text)) {
            steps.push_back(ScriptStep::token(token));
        }
    };
    switch (kind) {
    case AfterFirstTimestamp::wordThenEarlierTimes:
        say(" Hello");
        steps.push_back(tie({timestamp(0.06), timestamp(0.60)}));
        steps.push_back(tie({timestamp(0.06), timestamp(0.60)}));
        say(" again");
        break;
    case AfterFirstTimestamp::earlierTimeBeforeAnyWord:
        say(" Hello world");
        steps.front() = tie({timestamp(0.20), encoded(" Hello world").front()});
        steps.push_back(ScriptStep::token(timestamp(1.00)));
        steps.push_back(ScriptStep::token(timestamp(1.00)));
        say(" again");
        break;
    }
    steps.push_back(ScriptStep::token(timestamp(2.10)));
    return steps;
}

// The segments the steps must give: start and end in hundredths of a second, and text.
std::vector<std::tuple<int, int, std::string>> expectedSegments(AfterFirstTimestamp kind) {
    switch (kind) {
    case AfterFirstTimestamp::wordThenEarlierTimes:
        return {{46, 60, " Hello"}, {60, 210, " again"}};
    case AfterFirstTimestamp::earlierTimeBeforeAnyWord:
        return {{46, 100, " Hello world"}, {100, 210, " again"}};
    }
    return {};
}

struct TimeOrderCase {
    friend void PrintTo(const TimeOrderCase& param, std::ostream* out) { *out << param.name; }

    std::string name;
    bool multilingual;
    std::optional<std::string> previousText;
    AfterFirstTimestamp after;
};

class TimeOrderTest : public ::testing::TestWithParam<TimeOrderCase> {};

TEST_P(TimeOrderTest, LaterTimestampsNeverGoBeforeTheFirstChosenOne) {
    const auto& param = GetParam();
    const std::size_t promptLength =
        (param.multilingual ? 4 : 2) + (param.previousText ? encoded(*param.previousText).size() + 1 : 0);
    // The prompt's positions, the last of which predicts the first timestamp, then the case's steps.
    std::vector<ScriptStep> script(promptLength - 2, ScriptStep::token(encoded(" x").front()));
    script.push_back(ScriptStep::token(timestamp(0.46)));
    for (auto& step : steps(param.after)) {
        script.push_back(std::move(step));
    }
    script.push_back(ScriptStep::token(tokenizer()->specialTokens().endToken));
    auto pipeline = Pipeline::scripted(script, param.multilingual);
    auto options = acceptingOptions();
    options.skipSpecialTokens = true;
    if (param.previousText) {
        options.promptTokens = encoded(*param.previousText);
    }

    const auto result = blockingRun(pipeline->makeTask()->run(audio(3), options));

    std::vector<std::tuple<int, int, std::string>> segments;
    for (const auto& segment : result.segments()) {
        segments.emplace_back(int(std::lround(segment.start * 100)), int(std::lround(segment.end * 100)),
                              segment.text);
    }
    EXPECT_EQ(segments, expectedSegments(param.after));
}

INSTANTIATE_TEST_SUITE_P(
    FirstTimestamps, TimeOrderTest,
    ::testing::Values(TimeOrderCase{"MultilingualWordThenEarlierTimes", true, std::nullopt,
                                    AfterFirstTimestamp::wordThenEarlierTimes},
                      TimeOrderCase{"EnglishOnlyWordThenEarlierTimes", false, std::nullopt,
                                    AfterFirstTimestamp::wordThenEarlierTimes},
                      TimeOrderCase{"PreviousTextWordThenEarlierTimes", true, " Earlier words were said.",
                                    AfterFirstTimestamp::wordThenEarlierTimes},
                      TimeOrderCase{"MultilingualEarlierTimeBeforeAnyWord", true, std::nullopt,
                                    AfterFirstTimestamp::earlierTimeBeforeAnyWord},
                      TimeOrderCase{"EnglishOnlyEarlierTimeBeforeAnyWord", false, std::nullopt,
                                    AfterFirstTimestamp::earlierTimeBeforeAnyWord}),
    [](const auto& info) { return info.param.name; });

// Whether a progress report is the first of a decode: the one of its first model call.
bool startsADecode(const TranscriptionProgress& progress) {
    return progress.timings.totalKVUpdateRuns == 1;
}

// The multilingual prompt without timestamps: start, English, transcribe, no timestamps.
constexpr std::size_t plainPromptLength = 4;

DecodingOptions plainOptions() {
    auto options = acceptingOptions();
    options.withoutTimestamps = true;
    options.skipSpecialTokens = true;
    return options;
}

// The temperatures of the attempts, in order, as the progress reports name them.
struct AttemptLog {
    std::vector<float> temperatures;
    std::vector<int> windowIds;
    TranscriptionProgressCallback callback() {
        return [this](const TranscriptionProgress& progress) -> std::optional<bool> {
            if (startsADecode(progress)) {
                temperatures.push_back(progress.temperature.value_or(NAN));
                windowIds.push_back(progress.windowId);
            }
            return std::nullopt;
        };
    }
};

TEST(TemperatureScheduleTest, StepsAreRoundedToHalfPrecision) {
    const auto schedule = TranscribeTask::temperatureSchedule(0.0f, 0.2f, 5);
    std::vector<float> values(schedule.begin(), schedule.end());
    EXPECT_THAT(values, ::testing::ElementsAre(0.0f, 0.199951171875f, 0.39990234375f, 0.599609375f,
                                               0.7998046875f, 1.0f));
    EXPECT_THAT(TranscribeTask::temperatureSchedule(0.5f, 0.2f, 0).size(), 1u);
    EXPECT_THROW(TranscribeTask::temperatureSchedule(0.0f, 0.2f, -1), WhisperError);
}

struct VerdictCase {
    std::string name;
    // Sets the one threshold under test.
    std::function<void(DecodingOptions&)> threshold;
    // The first sampled position ties this many tokens.
    int firstTokenTies;
    int attempts;
    std::string text;
    friend void PrintTo(const VerdictCase& param, std::ostream* out) { *out << param.name; }
};

class FallbackVerdictTest : public ::testing::TestWithParam<VerdictCase> {};

// Every attempt of the scripted decoder gives the same text, so a verdict that asks for a fallback is met at
// every temperature of the schedule.
TEST_P(FallbackVerdictTest, EachVerdictWalksTheTemperatureSchedule) {
    const auto& param = GetParam();
    const auto hello = encoded(" Hello world again");
    std::vector<int> tied{hello.front()};
    for (const char* other : {" a", " b", " c", " d"}) {
        if (int(tied.size()) < param.firstTokenTies) {
            tied.push_back(encoded(other).front());
        }
    }
    auto script = scriptAfterPrompt(plainPromptLength, hello);
    script[plainPromptLength - 1] = tie(tied);
    auto pipeline = Pipeline::scripted(script);
    auto task = pipeline->makeTask();

    auto options = plainOptions();
    param.threshold(options);
    AttemptLog log;
    const auto result = blockingRun(task->run(audio(3), options, log.callback()));

    const std::vector<float> schedule{0.0f,         0.199951171875f, 0.39990234375f,
                                      0.599609375f, 0.7998046875f,   1.0f};
    EXPECT_EQ(log.temperatures, std::vector<float>(schedule.begin(), schedule.begin() + param.attempts));
    EXPECT_EQ(result.timings().totalDecodingFallbacks, param.attempts == 1 ? 0 : param.attempts);
    EXPECT_EQ(result.text(), param.text);
    for (const auto& segment : result.segments()) {
        EXPECT_EQ(segment.temperature, VuzadoDudi::rounded(schedule[std::size_t(param.attempts) - 1], 3));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, FallbackVerdictTest,
    ::testing::Values(
        VerdictCase{"Accepted", [](DecodingOptions&) {}, 1, 1, "Hello world again"},
        // Five tied tokens give the first one a log probability of ln(1/5) < -1.5; the loop ends there.
        VerdictCase{"FirstTokenLogProb", [](DecodingOptions& o) { o.firstTokenLogProbThreshold = -1.5f; }, 5,
                    6, ""},
        VerdictCase{"FirstTokenLogProbMet", [](DecodingOptions& o) { o.firstTokenLogProbThreshold = -1.5f; },
                    4, 1, "Hello world again"},
        VerdictCase{"CompressionRatio", [](DecodingOptions& o) { o.compressionRatioThreshold = 0.01f; }, 1, 6,
                    "Hello world again"},
        VerdictCase{"AverageLogProb", [](DecodingOptions& o) { o.logProbThreshold = 0.5f; }, 1, 6,
                    "Hello world again"},
        // Taken as silence at once, whatever the other thresholds say; the seeker then drops the window.
        VerdictCase{"Silence",
                    [](DecodingOptions& o) {
                        o.noSpeechThreshold = -1.0f;
                        o.logProbThreshold = 0.5f;
                    },
                    1, 1, ""}),
    [](const auto& info) { return info.param.name; });

TEST(FallbackTest, FallbacksAddUpOverTheWindowsOfARun) {
    auto pipeline = Pipeline::scripted(scriptAfterPrompt(plainPromptLength, encoded(" Hello")));
    auto task = pipeline->makeTask();
    auto options = plainOptions();
    options.compressionRatioThreshold = 0.01f;
    options.temperatureFallbackCount = 2;
    AttemptLog log;
    // Two windows: 30 s and 5 s.
    const auto result = blockingRun(task->run(audio(35), options, log.callback()));

    EXPECT_EQ(result.timings().totalDecodingWindows, 2);
    EXPECT_EQ(result.timings().totalDecodingFallbacks, 6);
    EXPECT_EQ(log.windowIds, (std::vector<int>{0, 0, 0, 1, 1, 1}));
    EXPECT_EQ(result.text(), "Hello Hello");
}

TEST(EarlyStopTest, AFalseAnswerEndsTheWindowAfterThatStepButNotDuringThePrompt) {
    const auto words = encoded(" one two three four five six seven eight");
    auto pipeline = Pipeline::scripted(scriptAfterPrompt(plainPromptLength, words));
    for (const std::size_t stopAfter : {std::size_t(0), std::size_t(2)}) {
        auto task = pipeline->makeTask();
        auto callback = [&](const TranscriptionProgress& progress) -> std::optional<bool> {
            return progress.tokens.size() >= plainPromptLength + stopAfter ? std::optional(false)
                                                                           : std::nullopt;
        };
        const auto result = blockingRun(task->run(audio(3), plainOptions(), callback));
        // A stop asked for during the prompt waits for the first sampled token.
        const std::size_t kept = std::max<std::size_t>(stopAfter, 1);
        const std::vector<int> expected(words.begin(), words.begin() + std::ptrdiff_t(kept));
        EXPECT_EQ(result.text(), tokenizer()->decode(expected).substr(1)) << stopAfter;
    }
}

TEST(TokenBoundTest, AWindowNeverOutgrowsTheTokenContext) {
    std::vector<ScriptStep> script(plainPromptLength - 1, ScriptStep::token(encoded(" x").front()));
    script.push_back(ScriptStep::token(encoded(" la").front())); // repeated to the end of the cache
    auto pipeline = Pipeline::scripted(script);
    auto task = pipeline->makeTask();
    auto options = plainOptions();
    options.sampleLength = 224;
    const auto result = blockingRun(task->run(audio(3), options));

    const auto calls = pipeline->decoder->calls();
    ASSERT_EQ(calls.size(), std::size_t(Constants::maxTokenContext - 1));
    EXPECT_EQ(calls.back().cacheLength, Constants::maxTokenContext - 2);
    ASSERT_EQ(result.segments().size(), 1u);
    // The prompt, 219 sampled tokens and the end of the text the sampler closes with.
    const auto tokens = result.segments().front().tokens;
    EXPECT_EQ(tokens.size(), std::size_t(Constants::maxTokenContext));
    EXPECT_EQ(std::count(tokens.begin(), tokens.end(), encoded(" la").front()), 219);
    EXPECT_EQ(tokens.back(), tokenizer()->specialTokens().endToken);
}

TEST(TokenBoundTest, ASampleLengthOfZeroDecodesOnlyThePrompt) {
    auto pipeline = Pipeline::scripted(scriptAfterPrompt(plainPromptLength, encoded(" Hello")));
    auto task = pipeline->makeTask();
    auto options = plainOptions();
    options.sampleLength = 0;
    const auto result = blockingRun(task->run(audio(3), options));
    EXPECT_EQ(pipeline->decoder->calls().size(), plainPromptLength - 1);
    EXPECT_EQ(result.text(), "");
}

// A window taken as silence leaves the decoder's masks where its decode stopped; the next window must start
// from fresh ones, or it would attend to the silent window's cache.
TEST(SilentWindowTest, AWindowAfterASilentOneStartsFromFreshMasks) {
    const auto words = encoded(" Hello world again");
    auto script = scriptAfterPrompt(plainPromptLength, words);
    // A first token tied with another: log probability ln(1/2), which only a short window averages below
    // the threshold.
    script[plainPromptLength - 1] = tie({words.front(), encoded(" b").front()});
    auto pipeline = Pipeline::scripted(script);
    auto task = pipeline->makeTask();

    auto options = plainOptions();
    options.noSpeechThreshold = -1.0f;
    options.logProbThreshold = -0.08f;
    int decodes = 0;
    // Cuts the first window short after its first token, so its average log probability marks it silent.
    auto callback = [&](const TranscriptionProgress& progress) -> std::optional<bool> {
        if (startsADecode(progress)) {
            ++decodes;
        }
        return decodes == 1 && progress.tokens.size() > plainPromptLength ? std::optional(false)
                                                                          : std::nullopt;
    };
    const auto result = blockingRun(task->run(audio(35), options, callback));

    EXPECT_THAT(summaries(result.segments()),
                ::testing::ElementsAre(SegmentSummary{30.0f, 35.0f, " Hello world again"}));
    EXPECT_EQ(result.text(), "Hello world again");
    EXPECT_EQ(result.timings().totalDecodingWindows, 1);

    int windowStarts = 0;
    for (const auto& call : pipeline->decoder->calls()) {
        if (call.cacheLength != 0) {
            continue;
        }
        ++windowStarts;
        std::vector<float> updateMask(call.updateMask.size(), 0.0f);
        updateMask[0] = 1;
        std::vector<float> paddingMask(call.paddingMask.size(), -10000.0f);
        paddingMask[0] = 0;
        EXPECT_EQ(call.updateMask, updateMask) << "window " << windowStarts;
        EXPECT_EQ(call.paddingMask, paddingMask) << "window " << windowStarts;
    }
    EXPECT_EQ(windowStarts, 2);
}

// The language is detected again before every attempt, by the attempt's own sampler at its temperature.
TEST(LanguageDetectionTest, EachAttemptDetectsTheLanguageWithItsOwnSampler) {
    auto script = scriptAfterPrompt(plainPromptLength, encoded(" Hallo"));
    // Every other language far below: the draw of any temperature of the schedule picks German.
    script[0] = ScriptStep::token(id("<|de|>"));
    auto pipeline = Pipeline::scripted(script);
    auto task = pipeline->makeTask();
    auto options = plainOptions();
    options.language = std::nullopt;
    options.detectLanguage = true;
    options.compressionRatioThreshold = 0.01f;
    const auto result = blockingRun(task->run(audio(3), options));

    EXPECT_EQ(result.language(), "de");
    EXPECT_EQ(result.timings().totalDecodingFallbacks, 6);
    EXPECT_THAT(
        pipeline->decoder->languageTemperatures(),
        ::testing::ElementsAre(0.0f, 0.199951171875f, 0.39990234375f, 0.599609375f, 0.7998046875f, 1.0f));
    int languagePositions = 0;
    for (const auto& call : pipeline->decoder->calls()) {
        if (call.cacheLength == 1) {
            ++languagePositions;
            EXPECT_EQ(call.token, id("<|de|>"));
        }
    }
    EXPECT_EQ(languagePositions, 6);
}

TEST(LanguageDetectionTest, AnEnglishOnlyModelDetectsNothing) {
    auto pipeline = Pipeline::scripted(scriptAfterPrompt(2, encoded(" Hello")), false);
    auto task = pipeline->makeTask();
    auto options = plainOptions();
    options.language = std::nullopt;
    options.detectLanguage = true;
    const auto result = blockingRun(task->run(audio(3), options));
    EXPECT_EQ(result.language(), "en");
    EXPECT_EQ(result.text(), "Hello");
}

TEST(TranscribeTaskTest, AudioShorterThanTheWindowClipYieldsNoWindow) {
    auto pipeline = Pipeline::scripted(scriptAfterPrompt(plainPromptLength, encoded(" Hello")));
    for (const double seconds : {0.0, 1.0}) {
        auto task = pipeline->makeTask();
        const auto result = blockingRun(task->run(audio(seconds), plainOptions()));
        EXPECT_EQ(result.text(), "");
        EXPECT_TRUE(result.segments().empty());
        EXPECT_EQ(result.language(), "en");
        EXPECT_EQ(task->progress()->completedUnitCount(), task->progress()->totalUnitCount());
    }
    EXPECT_TRUE(pipeline->decoder->calls().empty());
}

// Each window moves the seek to its last timestamp pair, 10 s on; a bound on that step too large to be added
// to the seek is no bound at all, and every 10 s of the audio is decoded.
TEST(WindowSeekTest, AMaxWindowSeekBeyondAnySampleCountLeavesTheSeekerInCharge) {
    const auto hello = encoded(" Hello");
    auto pipeline = Pipeline::scripted(
        scriptAfterPrompt(plainPromptLength, joined({hello, {timestamp(10.0), timestamp(10.0)}})));
    for (const std::optional<std::int64_t> bound :
         {std::optional<std::int64_t>(), std::optional(std::numeric_limits<std::int64_t>::max())}) {
        auto task = pipeline->makeTask();
        auto options = acceptingOptions();
        options.skipSpecialTokens = true;
        options.maxWindowSeek = bound;
        const auto result = blockingRun(task->run(audio(30), options));
        EXPECT_THAT(summaries(result.segments()),
                    ::testing::ElementsAre(SegmentSummary{0.0f, 10.0f, " Hello"},
                                           SegmentSummary{10.0f, 20.0f, " Hello"},
                                           SegmentSummary{20.0f, 30.0f, " Hello"}))
            << bound.has_value();
        EXPECT_EQ(result.text(), "Hello Hello Hello");
    }
}

// The text loses every space separator and tab at its ends (no-break, ideographic, em spaces among them);
// line breaks and inner blanks stay.
TEST(TranscribeTaskTest, TheFinalTextIsTrimmedOfEverySpaceSeparatorAndTab) {
    const auto tokenizer = std::make_shared<ZodozorEroTesting::FakeTokenizer>(std::map<int, std::string>{
        {1, "\u3000\t \u00A0"}, {2, "Hello"}, {3, "\u2003world"}, {4, "\n"}, {5, " \u202F\u3000"}});
    const TranscribeTask task(TranscriptionTimings(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              tokenizer);
    const int special = tokenizer->specialTokens().specialTokenBegin;
    const struct {
        std::vector<int> tokens;
        std::string text;
    } cases[] = {
        {{1, 2, 3, 5}, "Hello\u2003world"},
        {{1, special, 2, 5, 1}, "Hello"},
        {{4, 2, 1, 4, 5}, "\nHello\u3000\t \u00A0\n"},
        {{1, 5}, ""},
        {{}, ""},
    };
    for (const auto& [tokens, text] : cases) {
        EXPECT_EQ(task.finalizeTranscriptionResult(tokens, {}, std::nullopt, TranscriptionTimings()).text(),
                  text);
    }
}

// The first four steps of every decode write the decoder's state to the debug log, each naming the position
// it computes and the token it feeds.
TEST(DecodingTraceTest, TheFirstFourStepsOfADecodeLogTheDecoderState) {
    auto pipeline = Pipeline::scripted(scriptAfterPrompt(plainPromptLength, encoded(" Hello world again")));
    std::vector<std::string> lines;
    {
        ZodozorEroTesting::LogCapture log;
        blockingRun(pipeline->makeTask()->run(audio(3), plainOptions()));
        lines = log.lines();
    }
    const auto& special = tokenizer()->specialTokens();
    const std::vector<int> prompt{special.startOfTranscriptToken, id("<|en|>"), special.transcribeToken,
                                  special.noTimestampsToken};
    std::vector<std::string> expected;
    for (int position = 0; position < 4; ++position) {
        char line[64];
        std::snprintf(line, sizeof line, "Cache Length: %2d Input Token: %4d", position,
                      prompt[std::size_t(position)]);
        expected.push_back(line);
    }
    std::vector<std::string> traced;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(traced),
                 [](const std::string& line) { return line.starts_with("Cache Length:"); });
    EXPECT_EQ(traced, expected);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "--------------- DECODER INPUTS DEBUG ---------------"),
              4);
}

// A run is one "TranscribeAudio" interval around one "Decode" interval per window, in the transcription
// task's category; a run that fails inside a decode still closes both.
TEST(TranscribeTaskTest, ARunAndTheDecodeOfEachWindowAreMarkedAsIntervals) {
    auto pipeline = Pipeline::scripted(scriptAfterPrompt(plainPromptLength, encoded(" Hello")));
    const auto intervals = [](const System::Log::CaptureSink& log) {
        std::vector<std::string> marks;
        for (const auto& record : log.records()) {
            if (record.kind != System::Log::RecordKind::message && record.category == "TranscribeTask") {
                EXPECT_EQ(record.subsystem, PipelineLogging::subsystem);
                marks.push_back((record.kind == System::Log::RecordKind::intervalBegin ? "begin " : "end ") +
                                record.message);
            }
        }
        return marks;
    };
    {
        System::Log::CaptureSink log;
        blockingRun(pipeline->makeTask()->run(audio(35), plainOptions()));
        EXPECT_EQ(intervals(log),
                  (std::vector<std::string>{"begin TranscribeAudio", "begin Decode", "end Decode",
                                            "begin Decode", "end Decode", "end TranscribeAudio"}));
    }
    {
        System::Log::CaptureSink log;
        const auto failing = [](const TranscriptionProgress&) -> std::optional<bool> {
            throw std::runtime_error("caller failed");
        };
        EXPECT_THROW(blockingRun(pipeline->makeTask()->run(audio(3), plainOptions(), failing)),
                     std::runtime_error);
        EXPECT_EQ(intervals(log), (std::vector<std::string>{"begin TranscribeAudio", "begin Decode",
                                                            "end Decode", "end TranscribeAudio"}));
    }
}

TEST(TranscribeTaskTest, OptionsThatWouldNeverFinishAreRefused) {
    auto pipeline = Pipeline::scripted(scriptAfterPrompt(plainPromptLength, encoded(" Hello")));
    const std::vector<std::function<void(DecodingOptions&)>> broken{
        [](DecodingOptions& o) { o.maxWindowSeek = 0; },
        [](DecodingOptions& o) { o.windowClipTime = -1; },
        [](DecodingOptions& o) { o.windowClipTime = NAN; },
        [](DecodingOptions& o) { o.temperatureFallbackCount = -1; },
    };
    for (const auto& breakIt : broken) {
        auto options = plainOptions();
        breakIt(options);
        auto task = pipeline->makeTask();
        EXPECT_THROW(blockingRun(task->run(audio(3), options)), WhisperError);
    }
}

} // namespace

namespace {

void expectWhisperError(const std::function<void()>& call, WhisperError::Kind kind,
                        const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no error; expected \"" << message << "\"";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), kind);
        EXPECT_EQ(error.message(), message);
    }
}

TEST(LanguageDetectionTest, OnlyLanguageTokensCanWinAndTheCachesAreLeftAlone) {
    auto script = scriptAfterPrompt(plainPromptLength, encoded(" Hello"));
    script[0] =
        ScriptStep{{{encoded(" Hello").front(), 5.0f}, {id("<|fr|>"), 0.0f}, {id("<|de|>"), -1.0f}}, {}};
    auto pipeline = Pipeline::scripted(script);
    auto inputs =
        pipeline->decoder->prepareDecoderInputs({tokenizer()->specialTokens().startOfTranscriptToken});
    auto& state = dynamic_cast<DecodingInputs&>(*inputs);
    const auto keysBefore = state.keyCache().toFloats();
    DecodingOptions options;
    options.language = "de"; // not read by detection
    GreedyTokenSampler sampler(0.0f, tokenizer()->specialTokens().endToken, options);

    const auto result = blockingRun(
        pipeline->decoder->detectLanguage(Pipeline::silentEncoderOutput(), *inputs, sampler, options, 0.0f));
    EXPECT_EQ(result.language, "fr");
    ASSERT_EQ(result.languageProbs.size(), 1u);
    EXPECT_NEAR(result.languageProbs.at("fr"), -std::log1p(std::exp(-1.0f)), 1e-4);
    EXPECT_TRUE(result.tokens.empty());
    EXPECT_EQ(state.keyCache().toFloats(), keysBefore);
    EXPECT_EQ(state.kvCacheUpdateMask().value(0), 1);
    EXPECT_EQ(state.decoderKeyPaddingMask().value(1), -10000);
}

TEST(DecodingErrorsTest, MissingPartsAreClearErrors) {
    auto pipeline = Pipeline::scripted(scriptAfterPrompt(plainPromptLength, encoded(" Hello")));
    auto& decoder = *pipeline->decoder;
    const auto fresh = [&] {
        return decoder.prepareDecoderInputs({tokenizer()->specialTokens().startOfTranscriptToken});
    };
    DecodingOptions options;
    GreedyTokenSampler sampler(0.0f, tokenizer()->specialTokens().endToken, options);
    const AudioEncoderOutputType embeds = Pipeline::silentEncoderOutput();
    const AudioEncoderOutputType notAnArray = std::vector<float>(4, 0.0f);

    expectWhisperError([&] { blockingRun(decoder.decodeText(notAnArray, *fresh(), sampler, options)); },
                       WhisperError::Kind::prepareDecoderInputsFailed, "Input must be MLMultiArray");
    expectWhisperError(
        [&] { blockingRun(decoder.detectLanguage(notAnArray, *fresh(), sampler, options, 0.0f)); },
        WhisperError::Kind::prepareDecoderInputsFailed, "Input must be MLMultiArray");
    expectWhisperError(
        [&] {
            auto inputs = fresh();
            inputs->initialPrompt().clear();
            blockingRun(decoder.decodeText(embeds, *inputs, sampler, options));
        },
        WhisperError::Kind::prepareDecoderInputsFailed, "Initial prompt must not be empty");

    auto inputs = fresh();
    decoder.setTokenizer(nullptr);
    expectWhisperError([&] { blockingRun(decoder.decodeText(embeds, *inputs, sampler, options)); },
                       WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable");
    expectWhisperError([&] { blockingRun(decoder.detectLanguage(embeds, *inputs, sampler, options, 0.0f)); },
                       WhisperError::Kind::tokenizerUnavailable, "Tokenizer is unavailable");
    decoder.setTokenizer(tokenizer());
    decoder.unloadModel();
    expectWhisperError([&] { blockingRun(decoder.detectLanguage(embeds, *inputs, sampler, options, 0.0f)); },
                       WhisperError::Kind::modelsUnavailable, "Failed to read logits size from model");
    expectWhisperError([&] { blockingRun(decoder.decodeText(embeds, *inputs, sampler, options)); },
                       WhisperError::Kind::decodingLogitsFailed, "Unable to decode logits");
}

} // namespace
