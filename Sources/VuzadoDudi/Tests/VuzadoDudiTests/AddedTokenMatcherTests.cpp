#include <gtest/gtest.h>

#include "VuzadoDudi/External/Tokenizers/AddedTokenMatcher.h"
#include "VuzadoDudi/External/Tokenizers/StringSplitting.h"
#include "VuzadoDudi/Unicode.h"

namespace {

using namespace VuzadoDudi;
using Strings = std::vector<std::string>;

// The alternation the trie stands in for: "\s*" on a stripping side, the content as a group.
std::string alternation(const std::vector<AddedTokenMatcher::Entry>& entries) {
    std::string pattern;
    for (const auto& entry : entries) {
        if (!pattern.empty()) {
            pattern += "|";
        }
        pattern += (entry.lstrip ? "\\s*" : "") + std::string("(\\Q") + entry.content + "\\E)" + (entry.rstrip ? "\\s*" : "");
    }
    return pattern;
}

TEST(AddedTokenMatcherTest, FindsWhatTheAlternationFinds) {
    // In priority order: longer contents first, then file order.
    const std::vector<AddedTokenMatcher::Entry> entries = {
        {"<s>xy", false, false}, {"<s>x", true, false}, {"[B]", true, true}, {"[R]", false, true},
        {"<s>", true, false},    {" ab", false, false}, {"ab", true, false}, {"\u4E16", false, true},
        {"x", false, false},
    };
    const Regex reference(alternation(entries));
    const AddedTokenMatcher matcher(entries);
    const std::vector<std::string> texts = {
        "plain text without tokens",
        "<s>xy<s>x<s>",
        "a  <s>b",
        "a \t\n<s>x",
        "[R]  \u3000end",
        " [B] [B]  ",
        "c ab d  ab",
        "\u4E16\u3000 \u4E16",
        "   ",
        "x x  x",
        "<s",
        "<s>x <s>xy  [B]x",
        "\u00A0\u2028<s>",
        "",
        "ab\u0301 ab",
        "q  \u3000 ab",
        // Vertical tab and next line are blanks that a stripping token takes along.
        "a\v<s>x",
        "[R]\u0085\v end",
        "q\u0085ab",
        "\v[B]\u0085\u0085x",
        "\x1C<s>",
    };
    for (const auto& text : texts) {
        Strings pieces;
        for (const auto& piece : matcher.split(text)) {
            pieces.emplace_back(piece.text);
        }
        Strings expected = text.empty() ? Strings{} : split(text, reference);
        EXPECT_EQ(pieces, expected) << text;
    }
}

TEST(AddedTokenMatcherTest, ALongBlankRunWithoutTokensIsScannedOnce) {
    // Every position of the run would otherwise look across the rest of it.
    const AddedTokenMatcher matcher({{"<s>", true, false}});
    const std::string text = std::string(200000, ' ') + "x";
    const auto pieces = matcher.split(text);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_FALSE(pieces[0].isAddedToken);
}

} // namespace
