#include "TessarinCore/Domain/Unicode.h"

#include <gtest/gtest.h>

namespace TessarinCore::Unicode {
namespace {

TEST(UnicodeTests, GraphemeClustersKeepCarriageReturnLineFeedAndCombiningMarksTogether) {
    const std::string text = "a\r\ne\u0301\U0001F310,";
    const std::vector<std::string_view> clusters = graphemeClusters(text);
    EXPECT_EQ(clusters, (std::vector<std::string_view>{"a", "\r\n", "e\u0301", "\U0001F310", ","}));
    EXPECT_TRUE(graphemeClusters("").empty());
}

TEST(UnicodeTests, IllFormedUtf8ReadsAsReplacementCharactersAndLosesNoBytes) {
    const std::string text = "a\xff\xc3";
    EXPECT_EQ(codePoints(text), (std::u32string{U'a', 0xFFFD, 0xFFFD}));
    std::string joined;
    for (const std::string_view cluster : graphemeClusters(text)) {
        joined += cluster;
    }
    EXPECT_EQ(joined, text);
    EXPECT_EQ(trim(std::string_view("\xff "), isWhiteSpace), "\xff");
}

TEST(UnicodeTests, CodePointsRoundTripThroughUtf8AndIcuStrings) {
    const std::string text = "fn \U0001F310 \u0627\u0644\u0639";
    EXPECT_EQ(utf8(codePoints(text)), text);
    EXPECT_EQ(toUtf8(fromUtf8(text)), text);
    EXPECT_EQ(firstCodePoint("\U0001F310x"), U'\U0001F310');
}

TEST(UnicodeTests, PropertyChecks) {
    EXPECT_TRUE(isWhiteSpace(U'\n'));
    EXPECT_TRUE(isWhiteSpace(U'\u2028'));
    EXPECT_FALSE(isWhiteSpace(U'x'));
    EXPECT_TRUE(isSpaceSeparator(U'\u00A0'));
    EXPECT_FALSE(isSpaceSeparator(U'\t'));
    EXPECT_TRUE(isLineOrParagraphSeparator(U'\u2029'));
    EXPECT_TRUE(isPunctuation(U'\u060C'));
    EXPECT_TRUE(isSymbol(U'\u266B'));
    EXPECT_FALSE(isPunctuation(U'a'));
}

TEST(UnicodeTests, TrimRemovesMatchingCodePointsAtBothEndsOnly) {
    EXPECT_EQ(trim(std::string_view("\u3000 a b\t"), isWhiteSpace), "a b");
    EXPECT_EQ(trim(std::string_view("   "), isWhiteSpace), "");
    EXPECT_TRUE(allCodePoints(" \t\n", isWhiteSpace));
    EXPECT_FALSE(allCodePoints(" . ", isWhiteSpace));
}

} // namespace
} // namespace TessarinCore::Unicode
