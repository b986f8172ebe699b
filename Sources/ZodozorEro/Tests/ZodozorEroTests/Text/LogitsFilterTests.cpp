#include "ZodozorEro/Core/Text/LogitsFilter.h"

#include <bit>
#include <limits>

#include <gtest/gtest.h>

#include "Data/LogCapture.h"
#include "Text/TextTesting.h"
#include "ZodozorEro/Core/Text/LogitsValues.h"

namespace {

using System::ML::MultiArray;
using System::ML::MultiArrayDataType;
using ZodozorEro::LanguageLogitsFilter;
using ZodozorEro::LogitsFiltering;
using ZodozorEro::SuppressBlankFilter;
using ZodozorEro::SuppressTokensFilter;
using ZodozorEro::TimestampRulesFilter;
using ZodozorEroTesting::idRange;
using ZodozorEroTesting::logitsOf;
using ZodozorEroTesting::smallSpecialTokens;
using ZodozorEroTesting::smallVocabulary;
using ZodozorEroTesting::suppressedIds;
using ZodozorEroTesting::unite;

constexpr float minusInfinity = -std::numeric_limits<float>::infinity();

// Text far likelier than all timestamps together, so that only the grammar rules act.
std::vector<float> textLikely() {
    std::vector<float> values(smallVocabulary, 0);
    for (int id = 0; id < 20; ++id) {
        values[id] = 6;
    }
    return values;
}

// Applies `filter` and returns the ids it newly suppressed, checking that nothing else changed.
std::set<int> newlySuppressed(const LogitsFiltering& filter, const std::vector<float>& values,
                              const std::vector<int>& tokens, MultiArrayDataType type) {
    MultiArray logits = logitsOf(values, type);
    const MultiArray before = logits.copy();
    const MultiArray returned = filter.filterLogits(logits, tokens);
    EXPECT_TRUE(returned.sharesBuffer(logits)) << "filtered in place";
    std::set<int> ids;
    for (std::size_t i = 0; i < logits.count(); ++i) {
        if (logits.value(i) != before.value(i)) {
            EXPECT_EQ(logits.value(i), minusInfinity) << "only minus infinity is written, at " << i;
            ids.insert(static_cast<int>(i));
        }
    }
    return ids;
}

class TimestampRulesTest : public ::testing::TestWithParam<MultiArrayDataType> {};

TEST_P(TimestampRulesTest, RulesByPosition) {
    struct Case {
        const char* name;
        std::vector<int> tokens;
        int sampleBegin;
        bool multilingual;
        std::vector<float> logits;
        std::set<int> suppressed;
    };
    const std::set<int> noTimestamps = {17};
    const std::set<int> allTimestamps = idRange(20, 40);
    const std::set<int> belowEnd = idRange(0, 10);
    // A timestamp at 0.02 s as likely as the best text token, the others impossible: an equal share.
    std::vector<float> evenMass(smallVocabulary, minusInfinity);
    std::fill(evenMass.begin(), evenMass.begin() + 20, 0.0f);
    evenMass[5] = 3;
    evenMass[21] = 3;
    std::vector<float> timestampsAhead = evenMass;
    timestampsAhead[22] = 3;
    const std::vector<float> timestampsLikely(smallVocabulary, 0);

    const std::vector<Case> cases = {
        {"shorter than the prompt: untouched", {11, 12}, 3, false, textLikely(), {}},
        {"at the first sampled position only no-timestamps",
         {11, 12, 14},
         3,
         false,
         textLikely(),
         noTimestamps},
        {"a lone first timestamp: no timestamp may follow",
         {11, 12, 14, 21},
         3,
         false,
         textLikely(),
         unite(noTimestamps, allTimestamps)},
        {"text then a timestamp: its partner or the end",
         {11, 12, 14, 5, 25},
         3,
         false,
         textLikely(),
         unite(unite(noTimestamps, belowEnd), idRange(20, 25))},
        {"a completed pair: no timestamp may follow",
         {11, 12, 14, 20, 5, 25, 25},
         3,
         false,
         textLikely(),
         unite(noTimestamps, allTimestamps)},
        {"after text only later timestamps",
         {11, 12, 14, 22, 28, 5},
         3,
         false,
         textLikely(),
         unite(noTimestamps, idRange(20, 29))},
        {"text without timestamps: time is free", {11, 12, 14, 5, 6}, 3, false, textLikely(), noTimestamps},
        {"timestamps likelier than any text: only timestamps",
         {11, 12, 14},
         3,
         false,
         timestampsLikely,
         idRange(0, 20)},
        {"the probability rule after text", {11, 12, 14, 5}, 3, false, timestampsLikely, idRange(0, 20)},
        {"timestamps exactly as likely as the best text: text stays",
         {11, 12, 14},
         3,
         false,
         evenMass,
         noTimestamps},
        {"timestamps just likelier than the best text",
         {11, 12, 14},
         3,
         false,
         timestampsAhead,
         idRange(0, 20)},
        {"an English-only model ignores task tokens",
         {11, 5, 25},
         1,
         false,
         textLikely(),
         unite(unite(noTimestamps, belowEnd), idRange(20, 25))},
        {"multilingual: sampling starts after the task token",
         {11, 12, 14, 5, 25},
         1,
         true,
         textLikely(),
         unite(unite(noTimestamps, belowEnd), idRange(20, 25))},
        {"multilingual: translation is a task too", {11, 12, 13}, 3, true, textLikely(), noTimestamps},
        {"multilingual: no task token, no rules", {11, 12, 5, 14}, 4, true, textLikely(), {}},
        {"multilingual: previous text before the transcript",
         {15, 7, 8, 11, 12, 14, 5, 25},
         6,
         true,
         textLikely(),
         unite(unite(noTimestamps, belowEnd), idRange(20, 25))},
        {"multilingual: previous text, task beyond three after the start",
         {15, 7, 11, 12, 5, 14},
         6,
         true,
         textLikely(),
         {}},
        {"multilingual: without a start the task is looked for from the beginning",
         {12, 14, 5, 25},
         2,
         true,
         textLikely(),
         unite(unite(noTimestamps, belowEnd), idRange(20, 25))},
    };
    for (const Case& c : cases) {
        const TimestampRulesFilter filter(smallSpecialTokens(), c.sampleBegin, std::nullopt, c.multilingual);
        EXPECT_EQ(newlySuppressed(filter, c.logits, c.tokens, GetParam()), c.suppressed) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(ElementTypes, TimestampRulesTest,
                         ::testing::Values(MultiArrayDataType::float16, MultiArrayDataType::float32),
                         [](const auto& info) { return std::string(System::ML::dataTypeName(info.param)); });

TEST(LogitsFilterTest, TimestampRulesWithAVocabularyShorterThanTheTimestamps) {
    // A model whose vocabulary ends before the timestamps: nothing is written out of range.
    const TimestampRulesFilter filter(smallSpecialTokens(), 3, std::nullopt, false);
    MultiArray logits = logitsOf(std::vector<float>(15, 1));
    filter.filterLogits(logits, {11, 12, 14, 5});
    EXPECT_EQ(suppressedIds(logits), std::set<int>{});
}

TEST(LogitsFilterTest, SuppressTokensSkipsNegativeAndOutOfRangeIdsAndSaysSoOnce) {
    ZodozorEroTesting::LogCapture log;
    const SuppressTokensFilter filter({-1, 220, 7, 300, -5});
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"SuppressTokensFilter: ignoring negative ids in suppressTokens; the "
                                       "-1 sentinel (suppress default non-speech tokens) is not supported"});
    MultiArray logits = logitsOf(std::vector<float>(300, 1));
    filter.filterLogits(logits, {});
    filter.filterLogits(logits, {1, 2, 3});
    EXPECT_EQ(suppressedIds(logits), (std::set<int>{7, 220}));
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(LogitsFilterTest, SuppressBlankActsOnlyAtTheFirstSampledPosition) {
    const SuppressBlankFilter filter(smallSpecialTokens(), 3);
    for (const auto& [tokens, expected] : std::vector<std::pair<std::vector<int>, std::set<int>>>{
             {{11, 12}, {}}, {{11, 12, 14}, {2, 10}}, {{11, 12, 14, 5}, {}}}) {
        EXPECT_EQ(newlySuppressed(filter, textLikely(), tokens, MultiArrayDataType::float16), expected)
            << tokens.size() << " tokens";
    }
}

TEST(LogitsFilterTest, LanguageFilterLeavesOnlyLanguageTokens) {
    const LanguageLogitsFilter filter({12, 13, 90}, 30, 2);
    EXPECT_EQ(newlySuppressed(filter, textLikely(), {11}, MultiArrayDataType::float32), std::set<int>{});
    // Ids from logitsDim on are not the filter's to touch.
    std::set<int> expected = idRange(0, 30);
    expected.erase(12);
    expected.erase(13);
    EXPECT_EQ(newlySuppressed(filter, textLikely(), {11, 12}, MultiArrayDataType::float32), expected);
    EXPECT_EQ(newlySuppressed(filter, textLikely(), {11, 12, 13}, MultiArrayDataType::float32), expected);

    EXPECT_TRUE(LanguageLogitsFilter({12}, 0, 0).nonLanguageTokens().empty());
    EXPECT_THROW(LanguageLogitsFilter({12}, -1, 0), std::invalid_argument);
}

TEST(LogitsFilterTest, LogitsOfAnotherShapeOrTypeAreRefused) {
    const SuppressTokensFilter filter({1});
    MultiArray flat({smallVocabulary}, MultiArrayDataType::float16);
    EXPECT_THROW(filter.filterLogits(flat, {}), System::ML::MultiArrayError);
    MultiArray integers({1, 1, smallVocabulary}, MultiArrayDataType::int32);
    EXPECT_THROW(filter.filterLogits(integers, {}), System::ML::MultiArrayError);
}

} // namespace

namespace {

TEST(LogitsValuesTest, EveryHalfReadsAsItsExactFloatAndNaNAsImpossible) {
    MultiArray logits({1, 1, 65536}, MultiArrayDataType::float16);
    auto halves = logits.mutableValues<System::ML::Half>();
    for (std::uint32_t bits = 0; bits < 65536; ++bits) {
        halves[bits] = System::ML::Half::fromBitPattern(static_cast<std::uint16_t>(bits));
    }
    const std::vector<float> floats = ZodozorEro::LogitsValues::readAsFloats(logits);
    for (std::uint32_t bits = 0; bits < 65536; ++bits) {
        const float exact =
            static_cast<float>(System::ML::Half::fromBitPattern(static_cast<std::uint16_t>(bits)));
        const float expected = std::isnan(exact) ? minusInfinity : exact;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(floats[bits]), std::bit_cast<std::uint32_t>(expected)) << bits;
    }
}

} // namespace
