#include "VuzadoDudi/Unicode.h"

#include <gtest/gtest.h>

namespace {

namespace U = VuzadoDudi::Unicode;

TEST(UnicodeTest, CharactersAreGraphemeClusters) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"e\u0301a", {"e\u0301", "a"}},
        {"\r\n.", {"\r\n", "."}},
        {"\U0001F468\u200D\U0001F469\u200D\U0001F467!", {"\U0001F468\u200D\U0001F469\u200D\U0001F467", "!"}},
        {"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", {"\U0001F1E9\U0001F1EA", "\U0001F1EB\U0001F1F7"}},
        {"\u0628\u0650\u0633\u0652", {"\u0628\u0650", "\u0633\u0652"}},
        {"\u4E2D\u6587", {"\u4E2D", "\u6587"}},
        {"", {}},
    };
    for (const auto& [text, expected] : cases) {
        const auto characters = U::characters(text);
        EXPECT_EQ(std::vector<std::string>(characters.begin(), characters.end()), expected) << text;
        EXPECT_EQ(U::characterCount(text), expected.size());
        EXPECT_EQ(U::characterCount(std::u16string_view(U::toUTF16(text))), expected.size());
    }
}

TEST(UnicodeTest, IllFormedTextIsRepairedNotDropped) {
    EXPECT_EQ(U::toUTF8(U::toUTF16("a\xFF" "b")), "a\uFFFD" "b");
    EXPECT_EQ(U::toUTF8(std::u16string(u"x") + char16_t(0xD800) + u"y"), "x\uFFFDy");
    EXPECT_FALSE(U::isValidUTF8("\xC3"));
    EXPECT_TRUE(U::isValidUTF8("\xC3\xA9"));
}

TEST(UnicodeTest, NormalizationAndEquivalence) {
    EXPECT_EQ(U::normalized("e\u0301", U::NormalizationForm::nfc), "\u00E9");
    EXPECT_EQ(U::normalized("\u00E9", U::NormalizationForm::nfd), "e\u0301");
    EXPECT_EQ(U::normalized("\uFF21", U::NormalizationForm::nfkc), "A");
    EXPECT_EQ(U::normalized("\uFB01", U::NormalizationForm::nfkd), "fi");
    EXPECT_TRUE(U::canonicallyEqual("caf\u00E9", "cafe\u0301"));
    EXPECT_FALSE(U::canonicallyEqual("\uFB01", "fi"));
}

TEST(UnicodeTest, FullLowercasing) {
    EXPECT_EQ(U::lowercased("HELLO"), "hello");
    EXPECT_EQ(U::lowercased("\u0130"), "i\u0307");
    EXPECT_EQ(U::lowercased("\u039F\u0394\u039F\u03A3"), "\u03BF\u03B4\u03BF\u03C2");
}

TEST(UnicodeTest, CharacterClasses) {
    EXPECT_TRUE(U::isWhitespace(U'\u3000'));
    EXPECT_TRUE(U::isWhitespace(U'\u2028'));
    EXPECT_FALSE(U::isWhitespace(U'\u200B'));
    EXPECT_TRUE(U::isUppercaseLetter(U'\u01C5'));
    EXPECT_FALSE(U::isUppercaseLetter(U'a'));
    EXPECT_TRUE(U::isPunctuation(U'\u060C'));
    EXPECT_FALSE(U::isPunctuation(U'$'));
    EXPECT_TRUE(U::isMark(U'\u0301'));
    EXPECT_TRUE(U::isMark(U'\u064E'));
    EXPECT_TRUE(U::isControlOrFormat(U'\u200D'));
    EXPECT_TRUE(U::isControlOrFormat(U'\x07'));
    EXPECT_FALSE(U::isControlOrFormat(U'a'));
    EXPECT_TRUE(U::isNumber(U'\u0663'));
    EXPECT_TRUE(U::isLetter(U'\u4E2D'));
}

} // namespace
