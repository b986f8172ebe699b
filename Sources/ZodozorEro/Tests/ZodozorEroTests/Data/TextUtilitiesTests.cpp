#include "ZodozorEro/Utilities/TextUtilities.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

using ZodozorEro::TextUtilities::compressionRatio;

TEST(CompressionRatioTest, RepetitiveOutputScoresAboveTheFallbackThresholdAndVariedOutputBelow) {
    const float threshold = 2.4f; // the default compressionRatioThreshold
    std::string repeated;
    for (int i = 0; i < 40; ++i) {
        repeated += "Thank you for watching. ";
    }
    const std::string varied = "The quick brown fox jumps over the lazy dog while seven wizards quietly hex "
                               "jumbled boxes of frozen pizza near Zurich.";
    EXPECT_GT(compressionRatio(repeated), 10.0f);
    EXPECT_LT(compressionRatio(varied), 1.5f);
    EXPECT_GT(compressionRatio(repeated), threshold);
    EXPECT_LT(compressionRatio(varied), threshold);

    std::vector<int> loop;
    std::vector<int> distinct;
    for (int i = 0; i < 60; ++i) {
        loop.push_back(std::vector<int>{50364, 1770, 345, 329, 4964, 13}[i % 6]);
        distinct.push_back(300 + (i * 7919) % 40000);
    }
    EXPECT_GT(compressionRatio(loop), threshold);
    EXPECT_LT(compressionRatio(distinct), threshold);
}

TEST(CompressionRatioTest, RawDeflateCarriesNoStreamHeader) {
    // One byte deflates to 3 raw bytes and one token to 6; a zlib header and checksum would add 6 to each.
    EXPECT_GT(compressionRatio(std::string_view("a")), 0.3f);
    EXPECT_GT(compressionRatio(std::vector<int>{7}), 0.5f);
}

TEST(CompressionRatioTest, EmptyInputs) {
    EXPECT_EQ(compressionRatio(std::string_view("")), std::numeric_limits<float>::infinity());
    const float noTokens = compressionRatio(std::vector<int>{});
    EXPECT_TRUE(std::isfinite(noTokens));
    EXPECT_LT(noTokens, 2.4f);
}

TEST(TextUtilitiesTest, NormalizedTextForComparisons) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"Hello, World - again!!", "hello world again"},
        {"  \tWell-known\n", "well known"},
        {"¿QUÉ PASÓ?", "qué pasó"},
        {"a  --  b", "a b"},
        {"...", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ZodozorEro::normalized(c.text), c.expected) << c.text;
    }
}

TEST(TextUtilitiesTest, SpecialTokenCharactersGoOnlyAtTheEnds) {
    EXPECT_EQ(ZodozorEro::trimmingSpecialTokenCharacters("<|endoftext|>"), "endoftext");
    EXPECT_EQ(ZodozorEro::trimmingSpecialTokenCharacters("<|a|b|>"), "a|b");
    EXPECT_EQ(ZodozorEro::trimmingSpecialTokenCharacters("<|>"), "");
    EXPECT_EQ(ZodozorEro::trimmingSpecialTokenCharacters(" <|en|> "), " <|en|> ");
}

} // namespace
