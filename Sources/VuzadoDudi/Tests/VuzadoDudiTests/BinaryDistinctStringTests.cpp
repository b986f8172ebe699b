#include "VuzadoDudi/BinaryDistinctString.h"

#include <unordered_set>

#include <gtest/gtest.h>

namespace {

using VuzadoDudi::BinaryDistinctCharacter;
using VuzadoDudi::BinaryDistinctString;

TEST(BinaryDistinctStringTest, CanonicallyEquivalentTextsAreDistinctKeys) {
    const BinaryDistinctString precomposed("caf\u00E9");
    const BinaryDistinctString decomposed("cafe\u0301");
    EXPECT_NE(precomposed, decomposed);
    EXPECT_NE(precomposed.hash(), decomposed.hash());
    std::unordered_set<BinaryDistinctString> keys{precomposed, decomposed};
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_EQ(decomposed.count(), 4u);
    EXPECT_EQ(decomposed.codeUnitCount(), 5u);
}

TEST(BinaryDistinctStringTest, OrdersByUnsignedCodeUnits) {
    struct Case {
        BinaryDistinctString a;
        BinaryDistinctString b;
        bool less;
    };
    const std::vector<Case> cases = {
        {"ab", "abc", true},
        {"abc", "abc", false},
        {"e", "\u00E9", true},
        {"\u00E9", "e", false},
        // UTF-8 puts U+FF61 (EF BD A1) before U+10000 (F0 90 80 80); UTF-16 puts the lead surrogate 0xD800
        // before 0xFF61.
        {"\U00010000", "\uFF61", true},
        {"\uFF61", "\U00010000", false},
        {"", "a", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a < c.b, c.less) << c.a.string() << " < " << c.b.string();
    }
}

TEST(BinaryDistinctStringTest, PrefixAndSuffixCompareCodeUnits) {
    const BinaryDistinctString text("abc");
    EXPECT_TRUE(text.hasPrefix(""));
    EXPECT_TRUE(text.hasSuffix(""));
    EXPECT_TRUE(text.hasPrefix("ab"));
    EXPECT_TRUE(text.hasSuffix("bc"));
    EXPECT_FALSE(text.hasPrefix("abcd"));
    EXPECT_FALSE(text.hasSuffix("zabc"));
    EXPECT_FALSE(BinaryDistinctString("cafe\u0301").hasSuffix("\u00E9"));
}

TEST(BinaryDistinctStringTest, SlicesCountUTF16Positions) {
    const BinaryDistinctString text("a\u00E9\U0001F600b");
    // Code units: a, é, two surrogates, b.
    EXPECT_EQ(text.slice(0, 0), BinaryDistinctString(""));
    EXPECT_EQ(text.slice(1, 2), BinaryDistinctString("\u00E9"));
    EXPECT_EQ(text.slice(2, 4), BinaryDistinctString("\U0001F600"));
    EXPECT_EQ(text.slice(4), BinaryDistinctString("b"));
    EXPECT_EQ(BinaryDistinctString("hello").slice(1, 3), BinaryDistinctString("el"));
}

TEST(BinaryDistinctStringTest, OutOfBoundsStops) {
    const BinaryDistinctString text("ab");
    EXPECT_DEATH(text.slice(1, 3), "Index out of bounds");
    EXPECT_DEATH(text.index(1, 2), "Index out of bounds");
    EXPECT_EQ(text.index(0, 2), 2);
    EXPECT_EQ(text.index(0, 2, 1), std::nullopt);
    EXPECT_EQ(text.index(0, 1, 1), 1);
}

TEST(BinaryDistinctStringTest, IteratesCharacters) {
    const BinaryDistinctString text("e\u0301\U0001F44D\U0001F3FDx");
    const auto characters = text.characters();
    ASSERT_EQ(characters.size(), 3u);
    EXPECT_EQ(characters[0].bytes, u"e\u0301");
    EXPECT_EQ(characters[1].bytes, u"\U0001F44D\U0001F3FD");
    EXPECT_EQ(BinaryDistinctString(characters), text);
}

TEST(BinaryDistinctStringTest, CharacterDescription) {
    EXPECT_EQ(BinaryDistinctCharacter("A").description(), "BinaryDistinctCharacter('A', bytes: [\"0x41\"])");
    EXPECT_EQ(BinaryDistinctCharacter("\u00E9").description(),
              "BinaryDistinctCharacter('\u00E9', bytes: [\"0xE9\"])");
}

TEST(BinaryDistinctStringTest, LowercasingAndReplacingGoThroughCharacters) {
    EXPECT_EQ(BinaryDistinctString("\u00C9COLE").lowercased(), BinaryDistinctString("\u00E9cole"));
    EXPECT_EQ(BinaryDistinctString("a-b-c").replacingOccurrences("-", "+"), BinaryDistinctString("a+b+c"));
    // The platform's search matches canonically equivalent text.
    EXPECT_EQ(BinaryDistinctString("caf\u00E9!").replacingOccurrences("e\u0301", "E"), BinaryDistinctString("cafE!"));
}

TEST(BinaryDistinctStringTest, MergeKeepsWhatTheStrategyChooses) {
    VuzadoDudi::BinaryDistinctDictionary<int> target{{"a", 2}, {"b", 3}};
    const std::unordered_map<std::string, int> incoming{{"a", 1}};
    const auto merged = VuzadoDudi::merging(target, incoming, [](int, int newer) { return newer; });
    EXPECT_EQ(merged, (VuzadoDudi::BinaryDistinctDictionary<int>{{"a", 1}, {"b", 3}}));
    EXPECT_EQ(target.at("a"), 2);

    const std::unordered_map<std::u16string, int> utf16{{u"a", 10}, {u"c", 4}};
    VuzadoDudi::merge(target, utf16, [](int current, int newer) { return current + newer; });
    EXPECT_EQ(target, (VuzadoDudi::BinaryDistinctDictionary<int>{{"a", 12}, {"b", 3}, {"c", 4}}));
}

} // namespace
