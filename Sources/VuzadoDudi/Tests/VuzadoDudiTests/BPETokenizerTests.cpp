#include <gtest/gtest.h>

#include "VuzadoDudi/External/Tokenizers/BPETokenizer.h"
#include "VuzadoDudi/External/Tokenizers/ByteEncoder.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"

namespace {

using namespace VuzadoDudi;
using Strings = std::vector<std::string>;

BPETokenizer model(const std::string& vocab, const std::string& merges, const std::string& config = "{}",
                   const AddedTokens& added = {}) {
    const Config data = Config::parseJSON(R"({"model": {"vocab": )" + vocab + R"(, "merges": )" + merges + "}}");
    return BPETokenizer(Config::parseJSON(config), data, added);
}

TEST(BPETokenizerTest, MergesApplyByRankLeftToRight) {
    const auto bpe = model(R"({"a": 0, "b": 1, "c": 2, "ab": 3, "abc": 4, "aa": 5})", R"(["a b", "ab c", ["a", "a"]])");
    struct Case {
        std::string text;
        std::string merged;
        Strings tokens;
    };
    const std::vector<Case> cases = {
        {"abc", "abc", {"abc"}},
        {"aaa", "aa a", {"aa", "a"}},
        {"cab", "c ab", {"c", "ab"}},
        {"a", "a", {"a"}},
        // Symbols the vocabulary lacks become their UTF-8 bytes.
        {"\u00E9", "\u00E9", {"<0xC3>", "<0xA9>"}},
        {"xa", "x a", {"<0x78>", "a"}},
        {"", "", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bpe.bpe(c.text), c.merged) << c.text;
        EXPECT_EQ(bpe.tokenize(c.text), c.tokens) << c.text;
        // A second call (served from the cache) gives the same.
        EXPECT_EQ(bpe.tokenize(c.text), c.tokens) << c.text;
    }
}

TEST(BPETokenizerTest, MergeListForms) {
    const Config list = Config::parseJSON(R"(["a  b", ["c", 1, "d"], 5, "e f"])");
    const Config object = Config::parseJSON(R"({"a": 1})");
    const auto merges = BPETokenizer::mergesFromConfig(&list);
    ASSERT_TRUE(merges);
    EXPECT_EQ(*merges, (std::vector<Strings>{{"a", "", "b"}, {"c", "d"}, {"e", "f"}}));
    EXPECT_FALSE(BPETokenizer::mergesFromConfig(&object));

    // A merge listed twice takes its later rank; the empty middle symbol pairs only the first two.
    const auto bpe = model(R"({"a": 0})", R"(["x y", "p q", "x y", "a  b"])");
    EXPECT_EQ(bpe.rank({"x", "y"}), 2);
    EXPECT_EQ(bpe.rank({"a", ""}), 3);
    EXPECT_EQ(bpe.rank({"a", "b"}), std::nullopt);
}

TEST(BPETokenizerTest, VocabularyAndSpecialTokens) {
    const auto bpe = model(R"({"<unk>": 0, "a": 1, "float": 2.5, "text": "x", "<s>": 3})", "[]",
                           R"({"unk_token": {"content": "<unk>"}, "eos_token": "</s>", "bos_token": {"content": "<s>"},
                               "fuse_unk": "true"})",
                           {{"a", 9}, {"</s>", 7}});
    EXPECT_EQ(bpe.convertTokenToId("a"), 9);
    EXPECT_EQ(bpe.convertIdToToken(9), "a");
    EXPECT_EQ(bpe.convertTokenToId("float"), 0); // not in the vocabulary: the unknown token's id
    EXPECT_EQ(bpe.convertIdToToken(2), std::nullopt);
    EXPECT_EQ(bpe.unknownTokenId(), 0);
    EXPECT_EQ(bpe.eosTokenId(), 7);
    EXPECT_EQ(bpe.bosToken(), "<s>");
    EXPECT_EQ(bpe.bosTokenId(), 3);
    EXPECT_TRUE(bpe.fuseUnknownTokens());
    // The unknown token's own text is written as bytes.
    EXPECT_EQ(bpe.tokenize("<unk>"), (Strings{"<0x3C>", "<0x75>", "<0x6E>", "<0x6B>", "<0x3E>"}));

    const auto noUnknown = model(R"({"a": 0})", "[]", R"({"unk_token": "<unk>"})");
    EXPECT_EQ(noUnknown.unknownTokenId(), std::nullopt);
    EXPECT_EQ(noUnknown.convertTokenToId("zzz"), std::nullopt);
    EXPECT_FALSE(noUnknown.fuseUnknownTokens());
}

TEST(BPETokenizerTest, RefusesDefinitionsWithoutMergesOrVocabulary) {
    const Config config = Config::parseJSON("{}");
    try {
        BPETokenizer(config, Config::parseJSON(R"({"model": {"vocab": {}}})"), {});
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_STREQ(error.what(), "BPETokenizer requires merges");
    }
    try {
        BPETokenizer(config, Config::parseJSON(R"({"model": {"vocab": [], "merges": []}})"), {});
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.kind(), TokenizerError::Kind::missingVocab);
    }
}

TEST(BPETokenizerTest, SymbolsAreCharactersNotCodePoints) {
    // e + U+0301 is one character: it is never split from its accent.
    const auto bpe = model(R"({"e\u0301": 0, "x": 1})", "[]");
    EXPECT_EQ(bpe.tokenize("xe\u0301x"), (Strings{"x", "e\u0301", "x"}));
}

TEST(BPETokenizerTest, ByteTables) {
    const auto& encoder = byteEncoder();
    const auto& decoder = byteDecoder();
    ASSERT_EQ(encoder.size(), 256u);
    ASSERT_EQ(decoder.size(), 256u);
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(decoder.at(encoder.at(static_cast<std::uint8_t>(b))), b);
    }
    EXPECT_EQ(encoder.at(0), "\u0100");
    EXPECT_EQ(encoder.at(32), "\u0120");
    EXPECT_EQ(encoder.at(127), "\u0121");
    EXPECT_EQ(encoder.at(160), "\u0142");
    EXPECT_EQ(encoder.at(173), "\u0143");
    EXPECT_EQ(encoder.at('A'), "A");
    EXPECT_EQ(BPETokenizer::hexaEncode("\n\u00E9"), (Strings{"<0x0A>", "<0xC3>", "<0xA9>"}));
    EXPECT_TRUE(BPETokenizer::hexaEncode("").empty());
}

} // namespace
