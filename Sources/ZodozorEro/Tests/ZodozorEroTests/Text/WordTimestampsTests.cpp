#include <cmath>

#include <gtest/gtest.h>

#include "Text/FakeTokenizer.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/Text/SegmentSeeker.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace {

using System::ML::MultiArray;
using System::ML::MultiArrayDataType;
using ZodozorEro::DecodingOptions;
using ZodozorEro::SegmentSeeker;
using ZodozorEro::TranscriptionSegment;
using ZodozorEro::TranscriptionTimings;
using ZodozorEro::WhisperError;
using ZodozorEro::WordTiming;
using ZodozorEroTesting::FakeTokenizer;
using Path = SegmentSeeker::AlignmentPath;

constexpr int sot = 50258;
constexpr int timeToken = 50364;
constexpr int at(int hundredths) {
    return timeToken + hundredths / 2;
}

const FakeTokenizer& tokenizer() {
    static const FakeTokenizer words({{5, " one"}, {6, " two"}, {7, " three"}, {9, ","}});
    return words;
}

WordTiming word(std::string text, std::vector<int> tokens, float start, float end, float probability = 0.5f) {
    return WordTiming{.word = std::move(text),
                      .tokens = std::move(tokens),
                      .start = start,
                      .end = end,
                      .probability = probability};
}

void expectWords(const std::vector<WordTiming>& actual, const std::vector<WordTiming>& expected,
                 const std::string& context) {
    ASSERT_EQ(actual.size(), expected.size()) << context;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].word, expected[i].word) << context << " word " << i;
        EXPECT_EQ(actual[i].tokens, expected[i].tokens) << context << " word " << i;
        EXPECT_NEAR(actual[i].start, expected[i].start, 1e-5) << context << " word " << i;
        EXPECT_NEAR(actual[i].end, expected[i].end, 1e-5) << context << " word " << i;
        EXPECT_NEAR(actual[i].probability, expected[i].probability, 1e-5) << context << " word " << i;
    }
}

// One row per token, one column per frame: 1 inside the token's band of frames, -1 outside, so the cheapest
// path stays in the bands. `bands` are the first frames of each token's band.
std::vector<float> bandRows(const std::vector<int>& bands, int frames) {
    std::vector<float> values;
    for (std::size_t row = 0; row < bands.size(); ++row) {
        const int end = row + 1 < bands.size() ? bands[row + 1] : frames;
        for (int frame = 0; frame < frames; ++frame) {
            values.push_back(frame >= bands[row] && frame < end ? 1.0f : -1.0f);
        }
    }
    return values;
}

MultiArray matrix(int rows, int columns, const std::vector<float>& values,
                  MultiArrayDataType type = MultiArrayDataType::float16) {
    MultiArray array({rows, columns}, type);
    for (std::size_t i = 0; i < values.size(); ++i) {
        array.setValue(i, values[i]);
    }
    return array;
}

TEST(WordTimestampsTest, TimeWarpingFollowsTheHeaviestPath) {
    const SegmentSeeker seeker;
    EXPECT_EQ(seeker.dynamicTimeWarping(matrix(1, 1, {0.5f})), (Path{{0}, {0}}));
    EXPECT_EQ(seeker.dynamicTimeWarping(matrix(1, 3, {0.1f, 0.2f, 0.3f})), (Path{{0, 0, 0}, {0, 1, 2}}));
    EXPECT_EQ(seeker.dynamicTimeWarping(matrix(3, 6, bandRows({0, 2, 4}, 6), MultiArrayDataType::float32)),
              (Path{{0, 0, 1, 1, 2, 2}, {0, 1, 2, 3, 4, 5}}));
    // More tokens than frames: tokens share the frame of their neighbour.
    EXPECT_EQ(seeker.dynamicTimeWarping(matrix(3, 2, {1, -1, -1, 1, -1, 1})), (Path{{0, 1, 2}, {0, 1, 1}}));

    for (const auto& shape : std::vector<std::vector<int>>{{1, 1, 4}, {4}, {0, 4}, {2, 0}}) {
        try {
            seeker.dynamicTimeWarping(MultiArray(shape, MultiArrayDataType::float16));
            ADD_FAILURE() << "accepted " << System::ML::shapeDescription(shape);
        } catch (const WhisperError& error) {
            EXPECT_EQ(error.kind(), WhisperError::Kind::segmentingFailed);
            EXPECT_EQ(error.message(), "Invalid alignment matrix shape");
        }
    }
}

TEST(WordTimestampsTest, CheapestStepAndBacktrace) {
    const SegmentSeeker seeker;
    struct Case {
        double diagonal, up, left;
        SegmentSeeker::CostAndTrace expected;
    };
    const double inf = std::numeric_limits<double>::infinity();
    for (const Case& c : std::vector<Case>{{1, 2, 3, {0.5, 0}},
                                           {2, 1, 3, {0.5, 1}},
                                           {3, 2, 1, {0.5, 2}},
                                           {1, 1, 3, {2.5, 2}}, // a tie goes left, even when left is dearer
                                           {2, 1, 1, {0.5, 2}},
                                           {0, inf, inf, {-0.5, 0}},
                                           {inf, inf, inf, {inf, 2}}}) {
        EXPECT_EQ(seeker.minCostAndTrace(c.diagonal, c.up, c.left, 0.5), c.expected)
            << c.diagonal << " " << c.up << " " << c.left;
    }
    // From the last cell: left, up three times onto the border row, then along it.
    const std::vector<std::vector<int>> trace = {{-1, 2, 2}, {1, 1, 2}, {1, 1, 0}, {1, 1, 2}};
    EXPECT_EQ(seeker.backtrace(trace), (Path{{-1, 0, 1, 2, 2}, {0, 0, 0, 0, 1}}));
    // A code leading off the matrix ends the walk instead of looping.
    EXPECT_EQ(seeker.backtrace({{-1, 2}, {1, 7}}), (Path{{0}, {0}}));
}

TEST(WordTimestampsTest, DurationConstraints) {
    const SegmentSeeker seeker;
    const auto of = [](std::vector<float> durations) {
        std::vector<WordTiming> words;
        for (float d : durations) {
            words.push_back(word(" w", {5}, 0, d));
        }
        return words;
    };
    using C = SegmentSeeker::DurationConstraints;
    EXPECT_EQ(seeker.calculateWordDurationConstraints(of({0, 0.2f, 0.4f, 1.2f})), (C{0.4f, 0.8f}));
    EXPECT_EQ(seeker.calculateWordDurationConstraints(of({0.9f, 1.5f, 0.8f})), (C{0.7f, 1.4f}));
    EXPECT_EQ(seeker.calculateWordDurationConstraints(of({0, -0.5f})), (C{0, 0}));
    EXPECT_EQ(seeker.calculateWordDurationConstraints({}), (C{0, 0}));
}

TEST(WordTimestampsTest, LongWordsAreCutAtSentenceEnds) {
    const SegmentSeeker seeker;
    struct Case {
        const char* name;
        std::vector<WordTiming> words;
        std::vector<WordTiming> expected;
    };
    const std::vector<Case> cases = {
        {"after a full stop the start moves",
         {word(" a", {5}, 0, 0.5f), word(".", {9}, 0.5f, 0.6f), word(" c", {7}, 0.6f, 2.6f)},
         {word(" a", {5}, 0, 0.5f), word(".", {9}, 0.5f, 0.6f), word(" c", {7}, 1.2f, 2.6f)}},
        {"after an ordinary word nothing moves",
         {word(" a", {5}, 0, 0.5f), word(" b", {6}, 0.5f, 0.6f), word(" c", {7}, 0.6f, 2.6f)},
         {word(" a", {5}, 0, 0.5f), word(" b", {6}, 0.5f, 0.6f), word(" c", {7}, 0.6f, 2.6f)}},
        {"a long mark itself is cut at its end",
         {word(" a", {5}, 0, 0.5f), word("\uff1f", {9}, 0.5f, 2.5f)},
         {word(" a", {5}, 0, 0.5f), word("\uff1f", {9}, 0.5f, 1.9f)}},
        {"the first word never changes",
         {word(".", {9}, 0, 3), word(" a", {5}, 3, 3.5f)},
         {word(".", {9}, 0, 3), word(" a", {5}, 3, 3.5f)}},
    };
    for (const Case& c : cases) {
        expectWords(seeker.truncateLongWordsAtSentenceBoundaries(c.words, 1.4f), c.expected, c.name);
    }
}

TEST(WordTimestampsTest, PunctuationJoinsItsWord) {
    const SegmentSeeker seeker;
    const std::string prepended(ZodozorEro::Constants::defaultPrependPunctuations);
    const std::string appended(ZodozorEro::Constants::defaultAppendPunctuations);
    struct Case {
        const char* name;
        std::vector<WordTiming> words;
        std::vector<WordTiming> expected;
    };
    const std::vector<Case> cases = {
        {"parentheses around a word take the word's times",
         {word(" (", {1}, 0, 0.1f, 0.2f), word("word", {2}, 0.1f, 0.5f, 0.9f),
          word(")", {3}, 0.5f, 0.6f, 0.3f)},
         {word(" (word)", {1, 2, 3}, 0.1f, 0.5f, 0.9f)}},
        {"several closing marks all join the word",
         {word(" Really", {1}, 0, 0.4f, 0.8f), word("?", {2}, 0.4f, 0.5f), word("!", {3}, 0.5f, 0.6f)},
         {word(" Really?!", {1, 2, 3}, 0, 0.4f, 0.8f)}},
        {"several opening marks all join the word",
         {word(" \"", {1}, 0, 0.1f), word(" (", {2}, 0.1f, 0.2f), word("x", {3}, 0.2f, 0.4f, 0.7f)},
         {word(" \" (x", {1, 2, 3}, 0.2f, 0.4f, 0.7f)}},
        {"a closing mark after a space stays apart and is dropped",
         {word(" a ", {1}, 0, 0.2f), word(",", {2}, 0.2f, 0.3f)},
         {word(" a ", {1}, 0, 0.2f)}},
        {"an opening mark without a space before it stays apart and is dropped",
         {word(" a", {1}, 0, 0.2f), word("(", {2}, 0.2f, 0.3f), word("b", {3}, 0.3f, 0.4f)},
         {word(" a", {1}, 0, 0.2f), word("b", {3}, 0.3f, 0.4f)}},
        {"a comma joins the word before it",
         {word(" one", {5}, 0, 0.2f, 0.8f), word(",", {9}, 0.2f, 0.3f), word(" two", {6}, 0.3f, 0.5f, 0.6f)},
         {word(" one,", {5, 9}, 0, 0.2f, 0.8f), word(" two", {6}, 0.3f, 0.5f, 0.6f)}},
        {"nothing but punctuation", {word("-", {1}, 0, 1)}, {}},
        {"nothing", {}, {}},
    };
    for (const Case& c : cases) {
        expectWords(seeker.mergePunctuations(c.words, prepended, appended), c.expected, c.name);
    }
}

TranscriptionSegment segmentOf(std::vector<int> tokens, float start, float end) {
    TranscriptionSegment segment;
    segment.start = start;
    segment.end = end;
    segment.tokens = tokens;
    for (int token : tokens) {
        segment.tokenLogProbs.push_back({{token, 0}});
    }
    return segment;
}

TEST(WordTimestampsTest, WordsArePlacedIntoTheirSegments) {
    const SegmentSeeker seeker;
    // Two segments; control-token entries take a place in the word list and no place in a segment.
    const std::vector<TranscriptionSegment> segments = {segmentOf({at(0), 5, at(100)}, 10, 11),
                                                        segmentOf({at(100), 6, 7, at(200)}, 11, 12)};
    const std::vector<WordTiming> words = {
        word("<|0.00|>", {at(0)}, 0, 0.1f), word(" one", {5}, 0.1f, 0.7f, 0.876f),
        word("<|1.00|>", {at(100)}, 0.7f, 1.0f), word(" two<|1.00|>", {6, at(100)}, 1.0f, 1.4f, 0.5f),
        // Shorter than a quarter of the median: pulled back towards " two".
        word(" three", {7}, 1.9f, 1.95f, 0.25f)};
    const auto updated =
        seeker.updateSegmentsWithWordTimings(segments, words, 160000, 9.9f, 0.4f, 0.8f, tokenizer());
    ASSERT_EQ(updated.size(), 2u);
    expectWords(*updated[0].words, {word(" one", {5}, 10.1f, 10.7f, 0.88f)}, "first segment");
    expectWords(*updated[1].words,
                {word(" two", {6}, 11.0f, 11.4f, 0.5f), word(" three", {7}, 11.7f, 11.95f, 0.25f)},
                "second segment");
    EXPECT_FLOAT_EQ(updated[0].start, 10.1f);
    EXPECT_FLOAT_EQ(updated[0].end, 10.7f);
    EXPECT_FLOAT_EQ(updated[1].start, 11.0f);
    EXPECT_FLOAT_EQ(updated[1].end, 11.95f);
}

TEST(WordTimestampsTest, SegmentBoundsAndPausesConstrainWords) {
    const SegmentSeeker seeker;
    struct Case {
        const char* name;
        float segmentStart, segmentEnd, lastSpeech, median, max;
        std::vector<WordTiming> words;
        float expectedStart, expectedEnd;
        std::vector<WordTiming> expectedWords;
    };
    const std::vector<Case> cases = {
        {"words inside the segment set its bounds",
         5,
         7,
         4.8f,
         0.4f,
         0.8f,
         {word(" one", {5}, 5.2f, 5.6f), word(" two", {6}, 5.6f, 6.5f)},
         5.2f,
         6.5f,
         {word(" one", {5}, 5.2f, 5.6f), word(" two", {6}, 5.6f, 6.5f)}},
        {"a first word starting long before the segment is pulled in",
         5,
         7,
         4.8f,
         0.4f,
         0.8f,
         {word(" one", {5}, 4.0f, 5.2f), word(" two", {6}, 5.2f, 6.5f)},
         5,
         6.5f,
         {word(" one", {5}, 4.8f, 5.2f), word(" two", {6}, 5.2f, 6.5f)}},
        {"a last word ending long after the segment is cut back",
         5,
         7,
         5.1f,
         0.4f,
         0.8f,
         {word(" one", {5}, 5.2f, 5.6f), word(" two", {6}, 6.8f, 8.0f)},
         5.2f,
         7,
         {word(" one", {5}, 5.2f, 5.6f), word(" two", {6}, 6.8f, 7.2f)}},
        {"after a long pause a long first word is shortened",
         5,
         9,
         1,
         0.4f,
         0.8f,
         {word(" one", {5}, 5.0f, 7.0f), word(" two", {6}, 7.0f, 7.6f)},
         6.2f,
         7.6f,
         {word(" one", {5}, 6.2f, 7.0f), word(" two", {6}, 7.0f, 7.6f)}},
        {"after a long pause two long words share the boundary",
         5,
         9,
         1,
         0.4f,
         0.8f,
         {word(" one", {5}, 5.0f, 7.0f), word(" two", {6}, 7.0f, 9.0f)},
         7.4f,
         9.0f,
         {word(" one", {5}, 7.4f, 8.2f), word(" two", {6}, 8.2f, 9.0f)}},
        {"the shortened first word starts no earlier than the last speech",
         5,
         9,
         5.5f,
         0.1f,
         0.8f,
         {word(" one", {5}, 5.0f, 6.0f)},
         5.5f,
         6.0f,
         {word(" one", {5}, 5.5f, 6.0f)}},
    };
    for (const Case& c : cases) {
        std::vector<int> tokens;
        for (const auto& w : c.words) {
            tokens.insert(tokens.end(), w.tokens.begin(), w.tokens.end());
        }
        const auto updated =
            seeker.updateSegmentsWithWordTimings({segmentOf(tokens, c.segmentStart, c.segmentEnd)}, c.words,
                                                 0, c.lastSpeech, c.median, c.max, tokenizer());
        EXPECT_NEAR(updated[0].start, c.expectedStart, 1e-5) << c.name;
        EXPECT_NEAR(updated[0].end, c.expectedEnd, 1e-5) << c.name;
        expectWords(*updated[0].words, c.expectedWords, c.name);
    }

    // A segment whose words were all control tokens keeps its times and gets an empty list.
    const auto empty = seeker.updateSegmentsWithWordTimings({segmentOf({at(0), at(100)}, 3, 4)},
                                                            {word("<|0.00|>", {at(0)}, 0, 1)}, 0, 0, 0.4f,
                                                            0.8f, tokenizer());
    EXPECT_EQ(empty[0].words, std::vector<WordTiming>{});
    EXPECT_EQ(empty[0].start, 3);
    EXPECT_EQ(empty[0].end, 4);
}

// A window at 2 s whose tokens hold the bands of frames below; the prompt before the transcript (a
// previous-text prompt of three tokens) attends to the end of the audio, so using its rows would put every
// word late.
class AlignedWindow : public ::testing::Test {
protected:
    static constexpr int frames = 50;
    const std::vector<int> tokens = {sot, at(0), 5, 6, 9, 7, at(100)};
    const std::vector<int> bands = {0, 1, 2, 12, 25, 27, 45};

    MultiArray weights(int promptRows) const {
        std::vector<float> values =
            bandRows(std::vector<int>(static_cast<std::size_t>(promptRows), 40), frames);
        const std::vector<float> rows = bandRows(bands, frames);
        values.insert(values.end(), rows.begin(), rows.end());
        // Rows after the last token are never read.
        values.insert(values.end(), frames * 4, 0.5f);
        return matrix(promptRows + static_cast<int>(tokens.size()) + 4, frames, values);
    }

    TranscriptionSegment segment() const {
        TranscriptionSegment s = segmentOf(tokens, 2.0f, 3.0f);
        s.tokenLogProbs = {{{sot, 0}},
                           {{at(0), 0}},
                           {{5, std::log(0.8f)}},
                           {{6, std::log(0.5f)}},
                           {{9, std::log(0.4f)}},
                           {{7, std::log(0.9f)}},
                           {{at(100), 0}}};
        return s;
    }

    std::optional<std::vector<TranscriptionSegment>> align(int promptRows, std::int64_t rowOffset,
                                                           float lastSpeech) const {
        return SegmentSeeker().addWordTimestamps({segment()}, weights(promptRows), rowOffset, tokenizer(),
                                                 32000, 480000,
                                                 ZodozorEro::Constants::defaultPrependPunctuations,
                                                 ZodozorEro::Constants::defaultAppendPunctuations, lastSpeech,
                                                 DecodingOptions(), TranscriptionTimings());
    }
};

TEST_F(AlignedWindow, FindAlignmentGivesEachTokenItsBand) {
    const MultiArray rows = matrix(7, frames, bandRows(bands, frames));
    std::vector<float> logProbs = {0, 0, std::log(0.8f), std::log(0.5f), std::log(0.4f), std::log(0.9f), 0};
    expectWords(SegmentSeeker().findAlignment(tokens, rows, logProbs, tokenizer()),
                {word("<|special|>", {sot}, 0, 0.02f, 1), word("<|0.00|>", {at(0)}, 0.02f, 0.04f, 1),
                 word(" one", {5}, 0.04f, 0.24f, 0.8f), word(" two", {6}, 0.24f, 0.5f, 0.5f),
                 word(",", {9}, 0.5f, 0.54f, 0.4f), word(" three", {7}, 0.54f, 0.9f, 0.9f),
                 word("<|1.00|>", {at(100)}, 0.9f, 0.98f, 1)},
                "aligned");
    // Fewer than two words: nothing to time.
    EXPECT_TRUE(SegmentSeeker()
                    .findAlignment({5}, matrix(1, frames, bandRows({0}, frames)), {0}, tokenizer())
                    .empty());
    // Probabilities for only some tokens: the words they cover, and no more.
    logProbs.resize(4);
    EXPECT_EQ(SegmentSeeker().findAlignment(tokens, rows, logProbs, tokenizer()).size(), 4u);
}

TEST_F(AlignedWindow, WordsOfAWindowInAbsoluteSeconds) {
    const std::vector<WordTiming> expected = {word(" one", {5}, 2.04f, 2.24f, 0.8f),
                                              word(" two,", {6, 9}, 2.24f, 2.5f, 0.5f),
                                              word(" three", {7}, 2.54f, 2.9f, 0.9f)};
    for (const int promptRows : {0, 3}) {
        const auto segments = align(promptRows, promptRows, 2.0f);
        ASSERT_TRUE(segments);
        ASSERT_EQ(segments->size(), 1u);
        expectWords(*(*segments)[0].words, expected, "prompt rows " + std::to_string(promptRows));
        EXPECT_FLOAT_EQ((*segments)[0].start, 2.04f);
        EXPECT_FLOAT_EQ((*segments)[0].end, 2.9f);
    }
    // After a long pause the stretched first word is shortened to the longest plausible duration (0.16 s).
    const auto afterPause = align(0, 0, 0);
    expectWords(*(*afterPause)[0].words,
                {word(" one", {5}, 2.18f, 2.34f, 0.8f), word(" two,", {6, 9}, 2.34f, 2.5f, 0.5f),
                 word(" three", {7}, 2.54f, 2.9f, 0.9f)},
                "after a pause");
}

TEST_F(AlignedWindow, RowsBeyondTheWeightsAreRefused) {
    try {
        align(0, 10, 2);
        FAIL() << "aligned tokens without rows";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), WhisperError::Kind::segmentingFailed);
    }
    // No tokens: nothing to align, and every segment gets an empty word list.
    const auto none =
        SegmentSeeker().addWordTimestamps({segmentOf({}, 1, 2)}, weights(0), 0, tokenizer(), 0, 480000, "",
                                          "", 0, DecodingOptions(), TranscriptionTimings());
    EXPECT_EQ((*none)[0].words, std::vector<WordTiming>{});
}

} // namespace
