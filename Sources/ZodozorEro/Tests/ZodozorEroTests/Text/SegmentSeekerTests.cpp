#include "ZodozorEro/Core/Text/SegmentSeeker.h"

#include <gtest/gtest.h>

#include "Text/FakeTokenizer.h"

namespace {

using ZodozorEro::DecodingOptions;
using ZodozorEro::DecodingResult;
using ZodozorEro::SeekPointAndSegments;
using ZodozorEro::SegmentSeeker;
using ZodozorEro::TranscriptionSegment;
using ZodozorEroTesting::FakeTokenizer;

constexpr int eot = 50257;
constexpr int sot = 50258;
constexpr int timeToken = 50364;
constexpr std::int64_t currentSeek = 32000; // 2 s
constexpr std::int64_t segmentSize = 480000;

// The timestamp token of `hundredths` × 0.01 s; only even hundredths exist.
constexpr int at(int hundredths) {
    return timeToken + hundredths / 2;
}

const FakeTokenizer& tokenizer() {
    static const FakeTokenizer words({{5, " one"}, {6, " two"}, {7, " three"}, {8, " four"}});
    return words;
}

DecodingResult decoded(std::vector<int> tokens) {
    DecodingResult result;
    result.tokens = tokens;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        result.tokenLogProbs.push_back({{tokens[i], -0.1f * static_cast<float>(i)}});
    }
    result.avgLogProb = -0.3f;
    result.noSpeechProb = 0.1f;
    result.temperature = 0.2f;
    result.compressionRatio = 1.4f;
    return result;
}

DecodingOptions skippingSpecialTokens(bool skip = true) {
    DecodingOptions options;
    options.skipSpecialTokens = skip;
    return options;
}

SeekPointAndSegments seekFor(const DecodingResult& result,
                             const DecodingOptions& options = skippingSpecialTokens(),
                             int allSegmentsCount = 0) {
    return SegmentSeeker().findSeekPointAndSegments(result, options, allSegmentsCount, currentSeek,
                                                    segmentSize, 16000, timeToken, 50257, tokenizer());
}

TEST(SegmentSeekerTest, SegmentsAndSeekPointsByHowTheWindowEnds) {
    struct Expected {
        float start;
        float end;
        std::string text;
        std::size_t tokenCount;
    };
    struct Case {
        const char* name;
        std::vector<int> tokens;
        std::int64_t seek;
        std::vector<Expected> segments;
    };
    const std::vector<Case> cases = {
        {"pairs with a lone final timestamp: seek to it",
         {at(0), 5, 6, at(150), at(150), 7, 8, at(300), eot},
         currentSeek + 48000,
         {{2.0f, 3.5f, " one two", 4}, {3.5f, 5.0f, " three four", 4}}},
        {"ending in a pair: seek to its second timestamp",
         {at(0), 5, at(100), at(100), 6, at(200), at(200)},
         currentSeek + 32000,
         {{2.0f, 3.0f, " one", 3}, {3.0f, 4.0f, " two", 3}}},
        {"pairs then text without timestamps: the whole window",
         {at(0), 5, at(100), at(100), 6, 7, 8},
         currentSeek + segmentSize,
         {{2.0f, 3.0f, " one", 3}, {3.0f, 3.0f, " two three four", 4}}},
        {"timestamps but no pair: one segment to the last non-zero timestamp, the whole window",
         {at(0), 5, 6, at(100), eot},
         currentSeek + segmentSize,
         {{2.0f, 3.0f, " one two", 5}}},
        {"no timestamps: one segment as long as the window",
         {sot, 5, 6, 7, eot},
         currentSeek + segmentSize,
         {{2.0f, 32.0f, " one two three", 5}}},
        {"a pair at 0.00 still moves on: the whole window",
         {at(0), at(0), eot},
         currentSeek + segmentSize,
         {{2.0f, 2.0f, "", 1}}},
        {"a window of nothing: one empty segment", {}, currentSeek + segmentSize, {{2.0f, 32.0f, "", 0}}},
    };
    for (const Case& c : cases) {
        const SeekPointAndSegments found = seekFor(decoded(c.tokens), skippingSpecialTokens(), 7);
        EXPECT_EQ(found.seek, c.seek) << c.name;
        ASSERT_TRUE(found.segments) << c.name;
        ASSERT_EQ(found.segments->size(), c.segments.size()) << c.name;
        std::size_t offset = 0;
        for (std::size_t i = 0; i < c.segments.size(); ++i) {
            const TranscriptionSegment& segment = (*found.segments)[i];
            const Expected& expected = c.segments[i];
            EXPECT_EQ(segment.id, 7 + static_cast<int>(i)) << c.name;
            EXPECT_EQ(segment.seek, currentSeek) << c.name;
            EXPECT_FLOAT_EQ(segment.start, expected.start) << c.name << " segment " << i;
            EXPECT_FLOAT_EQ(segment.end, expected.end) << c.name << " segment " << i;
            EXPECT_EQ(segment.text, expected.text) << c.name << " segment " << i;
            const std::vector<int> slice(c.tokens.begin() + long(offset),
                                         c.tokens.begin() + long(offset + expected.tokenCount));
            EXPECT_EQ(segment.tokens, slice) << c.name << " segment " << i;
            ASSERT_EQ(segment.tokenLogProbs.size(), slice.size()) << c.name;
            for (std::size_t j = 0; j < slice.size(); ++j) {
                EXPECT_EQ(segment.tokenLogProbs[j],
                          (std::map<int, float>{{slice[j], -0.1f * float(offset + j)}}));
            }
            EXPECT_EQ(segment.temperature, 0.2f);
            EXPECT_EQ(segment.avgLogprob, -0.3f);
            EXPECT_EQ(segment.compressionRatio, 1.4f);
            EXPECT_EQ(segment.noSpeechProb, 0.1f);
            EXPECT_EQ(segment.words, std::nullopt);
            offset += expected.tokenCount;
        }
    }
}

TEST(SegmentSeekerTest, SpecialTokensAreInTheTextUnlessSkipped) {
    const DecodingResult result = decoded({sot, at(0), 5, at(100), at(100), 6, at(200), eot});
    const auto kept = seekFor(result, skippingSpecialTokens(false));
    ASSERT_EQ(kept.segments->size(), 2u);
    EXPECT_EQ((*kept.segments)[0].text, "<|special|><|0.00|> one<|1.00|>");
    EXPECT_EQ((*kept.segments)[1].text, "<|1.00|> two<|2.00|>");
    EXPECT_EQ((*seekFor(result).segments)[0].text, " one");
}

TEST(SegmentSeekerTest, SilentWindowsAreSkippedUnlessTheTextIsConfident) {
    struct Case {
        std::optional<float> noSpeechThreshold;
        std::optional<float> logProbThreshold;
        float noSpeechProb;
        float avgLogProb;
        bool skipped;
    };
    const std::vector<Case> cases = {
        {0.6f, std::nullopt, 0.7f, -0.5f, true},    {0.6f, -1.0f, 0.7f, -0.5f, false},
        {0.6f, -1.0f, 0.7f, -1.5f, true},           {0.6f, -1.0f, 0.5f, -1.5f, false},
        {std::nullopt, -1.0f, 0.99f, -3.0f, false}, {0.6f, std::nullopt, 0.6f, -0.5f, false},
    };
    for (const Case& c : cases) {
        DecodingResult result = decoded({at(0), 5, at(100)});
        result.noSpeechProb = c.noSpeechProb;
        result.avgLogProb = c.avgLogProb;
        DecodingOptions options;
        options.noSpeechThreshold = c.noSpeechThreshold;
        options.logProbThreshold = c.logProbThreshold;
        const SeekPointAndSegments found = seekFor(result, options);
        EXPECT_EQ(!found.segments, c.skipped) << c.noSpeechProb << " " << c.avgLogProb;
        if (c.skipped) {
            EXPECT_EQ(found.seek, currentSeek + segmentSize);
        }
    }
}

} // namespace
