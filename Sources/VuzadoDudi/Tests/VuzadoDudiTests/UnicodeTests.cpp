#include "VuzadoDudi/Unicode.h"

#include <memory>

#include <gtest/gtest.h>
#include <unicode/regex.h>

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

TEST(UnicodeTest, DiacriticFolding) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Caf\u00E9", "Cafe"},
        {"cafe\u0301", "cafe"},
        {"\u00C5ngstr\u00F6m \u1EC7", "Angstrom e"},
        {"x\u0301\u0302y", "xy"},
        // Characters without marks stay exactly as they are, decomposable or not.
        {"\uD55C\uAD6D\uC5B4", "\uD55C\uAD6D\uC5B4"},
        {"\uF900\u212B", "\uF900A"},
        {"\u00F8\u0628\u0650", "\u00F8\u0628"},
        {"", ""},
    };
    for (const auto& [text, folded] : cases) {
        EXPECT_EQ(U::foldingDiacritics(text), folded) << text;
    }
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

// The classifier stands in for ICU's engine wherever code scans for what an expression would match, so the
// engine itself is the reference, asked about every code point.
TEST(UnicodeTest, RegexClassesAreTheEnginesForEveryCodePoint) {
    // Every code point in one text; the surrogates, which would pair up, each in a text of its own.
    std::u16string all;
    std::vector<char32_t> codePointAt; // by UTF-16 offset
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) {
            continue;
        }
        codePointAt.push_back(c);
        if (c < 0x10000) {
            all.push_back(static_cast<char16_t>(c));
        } else {
            all.push_back(static_cast<char16_t>(0xD7C0 + (c >> 10)));
            all.push_back(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
            codePointAt.push_back(c);
        }
    }
    const std::vector<std::pair<const char16_t*, U::RegexClass>> classes = {
        {u"\\s", U::RegexClass::whitespace},
        {u"\\p{L}", U::RegexClass::letter},
        {u"\\p{N}", U::RegexClass::number}};
    for (const auto& [pattern, expected] : classes) {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError;
        const std::unique_ptr<icu::RegexPattern> compiled(
            icu::RegexPattern::compile(icu::UnicodeString(pattern), 0, parseError, status));
        ASSERT_TRUE(U_SUCCESS(status));
        std::vector<bool> matched(0x110000, false);
        const icu::UnicodeString text(false, all.data(), static_cast<int32_t>(all.size()));
        const std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(text, status));
        while (matcher->find(status) && U_SUCCESS(status)) {
            matched[codePointAt[static_cast<std::size_t>(matcher->start(status))]] = true;
        }
        for (char32_t c = 0xD800; c <= 0xDFFF; ++c) {
            const char16_t unit = static_cast<char16_t>(c);
            const icu::UnicodeString lone(false, &unit, 1);
            const std::unique_ptr<icu::RegexMatcher> single(compiled->matcher(lone, status));
            matched[c] = single->matches(status);
        }
        ASSERT_TRUE(U_SUCCESS(status));
        int disagreements = 0;
        for (char32_t c = 0; c <= 0x10FFFF; ++c) {
            if (matched[c] != (U::regexClass(c) == expected) && ++disagreements <= 5) {
                ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(c) << " in "
                              << static_cast<int>(expected) << ": the engine says " << matched[c];
            }
        }
        EXPECT_EQ(disagreements, 0) << static_cast<int>(expected);
    }
    // The character tests of the same names answer alike.
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        const U::RegexClass found = U::regexClass(c);
        if (U::isWhitespace(c) != (found == U::RegexClass::whitespace) ||
            U::isLetter(c) != (found == U::RegexClass::letter) ||
            U::isNumber(c) != (found == U::RegexClass::number)) {
            ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(c);
            break;
        }
    }
}

} // namespace
