#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "VuzadoDudi/External/Hub/HubApi.h"
#include "VuzadoDudi/External/Tokenizers/BPETokenizer.h"
#include "VuzadoDudi/External/Tokenizers/ByteEncoder.h"
#include "VuzadoDudi/External/Tokenizers/PreTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/Unicode.h"
#include "WhisperTokenizerWriter.h"

namespace {

using namespace VuzadoDudi;
using Strings = std::vector<std::string>;

BPETokenizer model(const std::string& vocab, const std::string& merges, const std::string& config = "{}",
                   const AddedTokens& added = {}) {
    const Config data =
        Config::parseJSON(R"({"model": {"vocab": )" + vocab + R"(, "merges": )" + merges + "}}");
    return BPETokenizer(Config::parseJSON(config), data, added);
}

TEST(BPETokenizerTest, MergesApplyByRankLeftToRight) {
    const auto bpe =
        model(R"({"a": 0, "b": 1, "c": 2, "ab": 3, "abc": 4, "aa": 5})", R"(["a b", "ab c", ["a", "a"]])");
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
        // A piece's tokens are kept when it comes a second time; the third call is served from the cache.
        for (int call = 0; call < 3; ++call) {
            EXPECT_EQ(bpe.tokenize(c.text), c.tokens) << c.text << ", call " << call;
        }
    }
}

// The merge loop in its plainest form, quadratic in the piece's length: the lowest-ranked adjacent pair is
// merged at every place it occurs, left to right without overlap, until no adjacent pair is a merge.
class ReferenceMerger {
public:
    explicit ReferenceMerger(const std::vector<Strings>& merges) {
        for (std::size_t i = 0; i < merges.size(); ++i) {
            if (merges[i].size() >= 2) {
                ranks_[{merges[i][0], merges[i][1]}] = static_cast<int>(i);
            }
        }
    }

    Strings symbols(const std::string& token) const {
        Strings word;
        for (const auto character : Unicode::characters(token)) {
            word.emplace_back(character);
        }
        while (word.size() > 1) {
            const std::pair<std::string, std::string>* best = nullptr;
            int bestRank = 0;
            for (std::size_t i = 0; i + 1 < word.size(); ++i) {
                const auto found = ranks_.find({word[i], word[i + 1]});
                if (found != ranks_.end() && (best == nullptr || found->second < bestRank)) {
                    best = &found->first;
                    bestRank = found->second;
                }
            }
            if (best == nullptr) {
                break;
            }
            Strings merged;
            for (std::size_t i = 0; i < word.size(); ++i) {
                if (i + 1 < word.size() && word[i] == best->first && word[i + 1] == best->second) {
                    merged.push_back(word[i] + word[i + 1]);
                    ++i;
                } else {
                    merged.push_back(word[i]);
                }
            }
            word = std::move(merged);
        }
        return word;
    }

    std::string bpe(const std::string& token) const {
        std::string joined;
        for (const auto& symbol : symbols(token)) {
            joined += (joined.empty() ? "" : " ") + symbol;
        }
        return joined;
    }

private:
    std::map<std::pair<std::string, std::string>, int> ranks_;
};

// Merge lists drawn at random over three characters, with ranks in any order: a pair made by a merge can rank
// before the merge that made it, so the order in which places and steps are taken shows in the result.
TEST(BPETokenizerTest, MergesAsThePlainLoopDoesOnRandomMergeLists) {
    std::mt19937 numbers(5);
    for (int list = 0; list < 200; ++list) {
        // e with a combining accent is one character of two code points.
        Strings symbols = {"a", "b", "e\u0301"};
        std::vector<Strings> merges;
        const auto count = 1 + numbers() % 20;
        for (std::size_t m = 0; m < count; ++m) {
            const auto& left = symbols[numbers() % symbols.size()];
            const auto& right = symbols[numbers() % symbols.size()];
            merges.push_back({left, right});
            symbols.push_back(left + right);
        }
        std::shuffle(merges.begin(), merges.end(), numbers);
        std::string json = "[";
        for (const auto& merge : merges) {
            json += (json.size() > 1 ? ", [\"" : "[\"") + merge[0] + "\", \"" + merge[1] + "\"]";
        }
        json += "]";
        const auto bpe = model("{}", json);
        const ReferenceMerger reference(merges);
        for (int text = 0; text < 20; ++text) {
            std::string piece;
            const auto length = numbers() % 40;
            const auto repeated = text % 5 == 0 ? numbers() % 3 : 3; // one letter only, now and then
            for (std::size_t i = 0; i < length; ++i) {
                piece += symbols[repeated < 3 ? repeated : numbers() % 3];
            }
            ASSERT_EQ(bpe.bpe(piece), reference.bpe(piece)) << "merges " << json << ", piece " << piece;
        }
    }
}

// A byte-level definition with a merge list learned from text; smaller than the real one, to keep the suite
// quick.
std::filesystem::path trainedFolder() {
    WhisperTokenizerWriter::Options options;
    options.mergeCount = 4000;
    options.generatedWords = 40000;
    return WhisperTokenizerWriter::cachedFolder(options);
}

// A trained byte-level merge list on the pieces of generated text: words of random letters, several scripts,
// long single pieces, and one letter repeated, where each merge overlaps the next place it could apply.
TEST(BPETokenizerTest, MergesAsThePlainLoopDoesOnATrainedMergeList) {
    const auto folder = trainedFolder();
    const Config data = HubApi::configuration(folder / "tokenizer.json");
    const BPETokenizer bpe(HubApi::configuration(folder / "tokenizer_config.json"), data, {});
    const ReferenceMerger reference(*BPETokenizer::mergesFromConfig(&data["model"]["merges"]));

    std::mt19937 numbers(9);
    const auto letters = [&](std::size_t length, std::string_view alphabet) {
        std::string text;
        for (std::size_t i = 0; i < length; ++i) {
            text += alphabet[numbers() % alphabet.size()];
        }
        return text;
    };
    std::string text;
    for (int word = 0; word < 3000; ++word) {
        text += letters(1 + numbers() % 12, "etaoinshrdlucmfwypvbgkjqxz") + " ";
    }
    // Words of Latin, Arabic (with vowel marks), Cyrillic and CJK letters, digits and punctuation.
    const std::vector<std::pair<char32_t, char32_t>> ranges = {
        {U'a', U'z'}, {0x0627, 0x0652}, {0x0430, 0x044F}, {0x4E00, 0x4E40},
        {U'0', U'9'}, {U'!', U'/'},     {0xE0, 0xFF}};
    for (int word = 0; word < 3000; ++word) {
        const auto& [first, last] = ranges[numbers() % ranges.size()];
        text += ' ';
        for (auto length = 1 + numbers() % 8; length > 0; --length) {
            Unicode::appendUTF8(text, first + static_cast<char32_t>(numbers() % (last - first + 1)));
        }
    }
    text += " " + letters(3000, "abcdefghij") + " " + letters(2000, "ab") + " " + std::string(1001, 'e') +
            " " + std::string(64, 'l') + " " + std::string(40, ' ') +
            "\u00E9\u00E9\u00E9\u00E9\u4E00\u4E00\u4E00";
    std::size_t multiSymbol = 0;
    for (const auto& piece :
         ByteLevelPreTokenizer(Config::parseJSON(R"({"add_prefix_space": false})")).preTokenize(text, {})) {
        const std::string expected = reference.bpe(piece);
        ASSERT_EQ(bpe.bpe(piece), expected) << piece;
        // Tokens: the symbols the vocabulary holds, and the bytes of the others; the same when the cache
        // serves them.
        Strings tokens;
        for (const auto& symbol : reference.symbols(piece)) {
            const auto id = bpe.convertTokenToId(symbol);
            if (id && id != bpe.unknownTokenId()) {
                tokens.push_back(symbol);
            } else {
                const auto bytes = BPETokenizer::hexaEncode(symbol);
                tokens.insert(tokens.end(), bytes.begin(), bytes.end());
            }
        }
        std::vector<int> tokenIds;
        for (const auto& token : tokens) {
            tokenIds.push_back(bpe.requiredTokenId(token));
        }
        for (int call = 0; call < 3; ++call) {
            ASSERT_EQ(bpe.tokenize(piece), tokens) << piece << ", call " << call;
            std::vector<int> ids;
            bpe.encode(piece, ids);
            ASSERT_EQ(ids, tokenIds) << piece << ", call " << call;
        }

        multiSymbol += expected.find(' ') != std::string::npos;
    }
    // The text is not all whole-word merges.
    EXPECT_GT(multiSymbol, 1000u);
}

// Each thread merges in scratch space of its own: threads sharing one model get what one thread alone gets.
TEST(BPETokenizerTest, ThreadsShareOneModel) {
    const auto folder = trainedFolder();
    const BPETokenizer bpe(HubApi::configuration(folder / "tokenizer_config.json"),
                           HubApi::configuration(folder / "tokenizer.json"), {});
    std::vector<std::string> pieces;
    std::mt19937 numbers(13);
    for (int i = 0; i < 400; ++i) {
        // Short pieces and long ones, which merge by different routes.
        std::string piece(i % 10 == 0 ? 200 + numbers() % 200 : 1 + numbers() % 12, 'a');
        for (auto& c : piece) {
            c = static_cast<char>('a' + numbers() % 26);
        }
        pieces.push_back(piece);
    }
    std::vector<Strings> expected;
    for (const auto& piece : pieces) {
        expected.push_back(bpe.tokenize(piece));
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round) {
                for (std::size_t i = 0; i < pieces.size(); ++i) {
                    // Each thread walks the pieces from its own starting point.
                    const std::size_t at = (i + t * 97) % pieces.size();
                    mismatches[t] += bpe.tokenize(pieces[at]) != expected[at];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// Tokens are appended to the list the pipeline passes in, which already holds those of earlier pieces; the
// cache keeps only the piece's own.
TEST(BPETokenizerTest, TokenizeAppendsToTheList) {
    const auto bpe = model(R"({"a": 0, "b": 1, "ab": 2})", R"(["a b"])");
    Strings tokens = {"x"};
    for (int call = 0; call < 3; ++call) {
        bpe.tokenize("abb", tokens);
    }
    EXPECT_EQ(tokens, (Strings{"x", "ab", "b", "ab", "b", "ab", "b"}));
}

// Ids straight from the model are those of its tokens, for symbols written as themselves and as bytes, with
// and without an unknown token to stand for bytes the vocabulary lacks.
TEST(BPETokenizerTest, EncodeGivesTheIdsOfTheTokens) {
    const std::string merges = R"(["a b", "< u", "<u n", "<un k", "<unk >"])";
    const auto withBytes =
        model(R"({"a": 0, "b": 1, "ab": 2, "<0xC3>": 3, "<0xA9>": 4, "<0x78>": 5})", merges);
    const auto withUnknown =
        model(R"({"a": 0, "b": 1, "ab": 2, "<unk>": 9})", merges, R"({"unk_token": "<unk>"})");
    const auto withNeither = model(R"({"a": 0, "b": 1, "ab": 2})", merges);
    struct Case {
        const BPETokenizer* bpe;
        std::string text;
        std::vector<int> ids;
    };
    const std::vector<Case> cases = {
        {&withBytes, "abb", {2, 1}},
        {&withBytes, "x\u00E9ab", {5, 3, 4, 2}},
        {&withUnknown, "xab\u00E9", {9, 2, 9, 9}},
        // The unknown token's own text is written as its bytes, which the vocabulary lacks.
        {&withUnknown, "<unk>", {9, 9, 9, 9, 9}},
        {&withNeither, "", {}},
    };
    for (const auto& c : cases) {
        for (int call = 0; call < 3; ++call) {
            std::vector<int> ids = {7};
            c.bpe->encode(c.text, ids);
            ids.erase(ids.begin());
            EXPECT_EQ(ids, c.ids) << c.text << ", call " << call;
            std::vector<int> ofTokens;
            for (const auto& token : c.bpe->tokenize(c.text)) {
                ofTokens.push_back(c.bpe->requiredTokenId(token));
            }
            EXPECT_EQ(ofTokens, c.ids) << c.text << ", call " << call;
        }
    }
    std::vector<int> ids;
    try {
        withNeither.encode("ax", ids);
        ADD_FAILURE() << "a byte without an id was accepted";
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.kind(), TokenizerError::Kind::missingTokenId);
        EXPECT_NE(std::string(error.what()).find("<0x78>"), std::string::npos) << error.what();
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
    const auto bpe =
        model(R"({"<unk>": 0, "a": 1, "float": 2.5, "text": "x", "<s>": 3})", "[]",
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
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(bpe.tokenize("<unk>"), (Strings{"<0x3C>", "<0x75>", "<0x6E>", "<0x6B>", "<0x3E>"}));
    }

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
    // Ranks are packed into the merge table: a list longer than they can count is refused, not wrapped.
    std::string merges = "[";
    for (std::size_t i = 0; i <= std::size_t{1} << 20; ++i) {
        merges += R"("a b",)";
    }
    merges.back() = ']';
    try {
        model("{}", merges);
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_STREQ(error.what(), "BPETokenizer supports at most 1048576 merges, the model has 1048577");
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
