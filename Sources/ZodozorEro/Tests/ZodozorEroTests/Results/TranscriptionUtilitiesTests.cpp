#include "ZodozorEro/Utilities/TranscriptionUtilities.h"

#include <gtest/gtest.h>

#include "Results/ResultFixtures.h"

namespace {

using ZodozorEro::TranscriptionResult;
using ZodozorEro::TranscriptionSegment;
using ZodozorEro::TranscriptionTimings;
using ZodozorEro::TranscriptionUtilities;
using ZodozorEro::WordTiming;

WordTiming word(std::string text, float start, float end, float probability = 0.9f) {
    return WordTiming{
        .word = std::move(text), .tokens = {1, 2}, .start = start, .end = end, .probability = probability};
}

TranscriptionSegment segment(int id, float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
    return ZodozorEroTesting::resultSegment(id, 32000, start, end, std::move(text), std::move(words));
}

TEST(TranscriptionUtilitiesTest, ShiftingMovesWindowTimesAndWordsAndKeepsTheRest) {
    const TranscriptionSegment original = segment(3, 1, 2, " hi", {{word(" hi", 1.25f, 1.75f)}});

    const TranscriptionSegment byTime = TranscriptionUtilities::updateSegmentTimings(original, 1.5f);
    EXPECT_EQ(byTime.seek, 32000 + 24000);
    EXPECT_FLOAT_EQ(byTime.start, 2.5f);
    EXPECT_FLOAT_EQ(byTime.end, 3.5f);
    EXPECT_FLOAT_EQ((*byTime.words)[0].start, 2.75f);
    EXPECT_FLOAT_EQ((*byTime.words)[0].end, 3.25f);

    const TranscriptionSegment bySamples =
        TranscriptionUtilities::updateSegmentTimings(original, std::int64_t{24000});
    EXPECT_EQ(bySamples, byTime);

    TranscriptionSegment expectedRest = byTime;
    expectedRest.seek = original.seek;
    expectedRest.start = original.start;
    expectedRest.end = original.end;
    expectedRest.words = original.words;
    EXPECT_EQ(expectedRest, original) << "only the times and the window start move";

    const TranscriptionSegment noWords =
        TranscriptionUtilities::updateSegmentTimings(segment(0, 0, 1, "x"), 2.0f);
    EXPECT_EQ(noWords.words, std::nullopt);
}

TEST(TranscriptionUtilitiesTest, FormatsSegmentsWithAndWithoutTimestamps) {
    const std::vector<TranscriptionSegment> segments = {segment(0, 1.5f, 2.25f, " Hello there"),
                                                        segment(1, 2.25f, 3.006f, "again ")};
    EXPECT_EQ(TranscriptionUtilities::formatSegments(segments, true),
              (std::vector<std::string>{"[1.50 --> 2.25]  Hello there", "[2.25 --> 3.01] again "}));
    EXPECT_EQ(TranscriptionUtilities::formatSegments(segments, false),
              (std::vector<std::string>{" Hello there", "again "}));
    EXPECT_TRUE(TranscriptionUtilities::formatSegments({}, true).empty());
}

TEST(TranscriptionUtilitiesTest, CommonBeginningIgnoresCaseHyphensPunctuationAndSpacing) {
    struct Case {
        std::vector<std::string> first;
        std::vector<std::string> second;
        std::size_t common;
    };
    const std::vector<Case> cases = {
        {{" Hello,", " world"}, {" hello", " World!"}, 2},
        {{" well-known"}, {" well known"}, 1},
        {{" a  -  b"}, {"a b"}, 1},
        {{" «Quoted»\n"}, {"quoted"}, 1},
        {{" one", " two", " three"}, {" one", " two", " three", " four", " five"}, 3},
        {{" one", " two"}, {" one", " too", " two"}, 1},
        {{" ÉCOLE"}, {" école"}, 1},
        {{}, {" any"}, 0},
        {{" first"}, {}, 0},
    };
    for (const auto& c : cases) {
        std::vector<WordTiming> first;
        std::vector<WordTiming> second;
        for (const auto& w : c.first) {
            first.push_back(word(w, 0, 1, 0.1f));
        }
        for (std::size_t i = 0; i < c.second.size(); ++i) {
            second.push_back(word(c.second[i], float(i), float(i) + 0.5f, 0.8f));
        }
        const auto prefix = TranscriptionUtilities::findLongestCommonPrefix(first, second);
        const auto suffix = TranscriptionUtilities::findLongestDifferentSuffix(first, second);
        ASSERT_EQ(prefix.size(), c.common) << ::testing::PrintToString(c.first);
        // Both parts come from the second list, with its own times and probabilities.
        EXPECT_EQ(prefix, std::vector<WordTiming>(second.begin(), second.begin() + long(c.common)));
        EXPECT_EQ(suffix, std::vector<WordTiming>(second.begin() + long(c.common), second.end()));
    }
}

TranscriptionTimings timings(double pipelineStart, double fullPipeline, double decodingLoop,
                             double modelLoading) {
    TranscriptionTimings t;
    t.pipelineStart = pipelineStart;
    t.firstTokenTime = pipelineStart + 0.5;
    t.inputAudioSeconds = 30;
    t.fullPipeline = fullPipeline;
    t.decodingLoop = decodingLoop;
    t.modelLoading = modelLoading;
    t.encoderSpecializationTime = 4;
    t.totalDecodingWindows = 1;
    return t;
}

TEST(TranscriptionUtilitiesTest, MergingJoinsTextsRenumbersSegmentsAndCombinesTimings) {
    auto first = std::make_shared<TranscriptionResult>(
        " One two.", std::vector{segment(0, 0, 1, " One"), segment(1, 1, 2, " two.")}, "de",
        timings(100, 10, 3, 2));
    auto second = std::make_shared<TranscriptionResult>(" Three.", std::vector{segment(0, 0, 1, " Three.")},
                                                        "fr", timings(104, 10, 4, 5), 30.0f);
    const auto merged = TranscriptionUtilities::mergeTranscriptionResults({first, nullptr, second});

    EXPECT_EQ(merged->text(), " One two." + std::string(" ") + "" + " " + " Three.")
        << "an absent result still adds its separator";
    const auto segments = merged->segments();
    ASSERT_EQ(segments.size(), 3u);
    // The result's position among the present ones plus the segment's own position.
    EXPECT_EQ(segments[0].id, 0);
    EXPECT_EQ(segments[1].id, 1);
    EXPECT_EQ(segments[2].id, 1);
    EXPECT_EQ(segments[2].text, " Three.");
    EXPECT_EQ(merged->language(), "de");
    EXPECT_EQ(merged->seekTime(), std::nullopt);

    const TranscriptionTimings t = merged->timings();
    EXPECT_EQ(t.pipelineStart, 100);
    EXPECT_EQ(t.firstTokenTime, 100.5);
    EXPECT_EQ(t.inputAudioSeconds, 60);
    EXPECT_EQ(t.modelLoading, 5);
    EXPECT_EQ(t.encoderSpecializationTime, 0);
    EXPECT_EQ(t.decodingLoop, 7);
    EXPECT_EQ(t.totalDecodingWindows, 2);
    EXPECT_EQ(t.fullPipeline, 14) << "overlapping runs: first start to last end";

    const auto sequential = TranscriptionUtilities::mergeTranscriptionResults(
        {std::make_shared<TranscriptionResult>("a", std::vector<TranscriptionSegment>{}, "en",
                                               timings(100, 2, 1, 1)),
         std::make_shared<TranscriptionResult>("b", std::vector<TranscriptionSegment>{}, "en",
                                               timings(150, 3, 1, 1))});
    EXPECT_EQ(sequential->timings().fullPipeline, 5) << "runs apart: the sum of their times";

    // The inputs are untouched.
    EXPECT_EQ(second->segments()[0].id, 0);
    EXPECT_EQ(second->seekTime(), 30.0f);
}

TEST(TranscriptionUtilitiesTest, MergingNothingGivesAnEmptyEnglishResultWithZeroTimings) {
    const auto merged = TranscriptionUtilities::mergeTranscriptionResults({});
    EXPECT_EQ(merged->text(), "");
    EXPECT_TRUE(merged->segments().empty());
    EXPECT_EQ(merged->language(), "en");
    TranscriptionTimings zero;
    zero.pipelineStart = 0;
    zero.firstTokenTime = 0;
    zero.inputAudioSeconds = 0;
    EXPECT_EQ(merged->timings(), zero);

    EXPECT_EQ(TranscriptionUtilities::mergeTranscriptionResults({nullptr, nullptr})->text(), " ");
}

TEST(TranscriptionUtilitiesTest, ConfirmedWordsReplaceTheTextEvenWhenEmpty) {
    auto result = std::make_shared<TranscriptionResult>("ignored", std::vector<TranscriptionSegment>{}, "en",
                                                        TranscriptionTimings());
    const std::vector<WordTiming> confirmed = {word(" Hello", 0, 1), word(" world", 1, 2)};
    EXPECT_EQ(TranscriptionUtilities::mergeTranscriptionResults({result}, confirmed)->text(), " Hello world");
    EXPECT_EQ(TranscriptionUtilities::mergeTranscriptionResults({result}, std::vector<WordTiming>{})->text(),
              "");
}

} // namespace
