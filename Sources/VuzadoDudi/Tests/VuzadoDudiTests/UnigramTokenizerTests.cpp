#include <gtest/gtest.h>

#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenLattice.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/External/Tokenizers/Trie.h"
#include "VuzadoDudi/External/Tokenizers/UnigramTokenizer.h"

namespace {

using namespace VuzadoDudi;
using Strings = std::vector<std::string>;
using Ids = std::vector<int>;

// A model whose unknown piece "<unk>" is id 0, followed by the given pieces with their scores.
UnigramTokenizer unigram(const std::vector<std::pair<std::string, float>>& pieces, const std::string& config = "{}") {
    Config::Array vocab = {Config(Config::Array{"<unk>", 0.0f})};
    for (const auto& [piece, score] : pieces) {
        vocab.push_back(Config(Config::Array{piece, score}));
    }
    const Config data = Config::dictionary(
        {{"model", Config::dictionary({{"type", "Unigram"}, {"unk_id", 0}, {"vocab", Config(std::move(vocab))}})}});
    return UnigramTokenizer(Config::parseJSON(config), data, {});
}

TEST(UnigramTokenizerTest, TheBestSegmentationWins) {
    struct Case {
        std::vector<std::pair<std::string, float>> pieces;
        std::string text;
        Strings tokens;
    };
    const std::vector<Case> cases = {
        {{{"a", -1}, {"b", -1}, {"ab", -1.5}}, "ab", {"ab"}},
        {{{"a", -1}, {"b", -1}, {"ab", -2.5}}, "ab", {"a", "b"}},
        // Equal totals keep the predecessor added first: ab (added at 0) before b (added at 1).
        {{{"a", -1}, {"b", -1}, {"ab", -2}}, "ab", {"ab"}},
        // Taking the longest piece first (ab, then c and d) would total -11; a and bcd total -4.
        {{{"ab", -1}, {"a", -3}, {"bcd", -1}, {"b", -5}, {"c", -5}, {"d", -5}}, "abcd", {"a", "bcd"}},
        // A character no piece holds comes out as itself.
        {{{"a", -1}, {"b", -1}}, "axb", {"a", "x", "b"}},
        {{{"a", -1}, {"b", -1}}, "xy", {"x", "y"}},
        {{{"\u4e2d", -2}, {"\u6587", -2}, {"\u4e2d\u6587", -3}}, "\u4e2d\u6587\u5b57", {"\u4e2d\u6587", "\u5b57"}},
        // Pieces are characters: e + U+0301 is one, never split from its accent.
        {{{"e", -1}, {"e\u0301", -4}, {"\u0301", -1}}, "e\u0301e", {"e\u0301", "e"}},
        {{{"a", -1}}, "", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unigram(c.pieces).tokenize(c.text), c.tokens) << c.text;
    }
}

TEST(UnigramTokenizerTest, PiecesMatchByExactCodeUnits) {
    // A text canonically equivalent to a piece but written otherwise is not that piece: it is unknown, and
    // nothing fails on the way.
    const auto model = unigram({{"caf\u00e9", -1}, {"c", -2}, {"a", -2}, {"f", -2}});
    EXPECT_EQ(model.tokenize("caf\u00e9"), Strings{"caf\u00e9"});
    EXPECT_EQ(model.tokenize("cafe\u0301"), (Strings{"c", "a", "f", "e\u0301"}));
    EXPECT_EQ(model.convertTokenToId("e\u0301"), 0);
    EXPECT_EQ(model.convertTokenToId("caf\u00e9"), 1);
}

TEST(UnigramTokenizerTest, VocabularyAndSpecialTokens) {
    const auto model = unigram({{" ", -3}, {"</s>", -2}, {"a", -7.5}}, R"({"eos_token": "</s>"})");
    EXPECT_EQ(model.bosToken(), " ");
    EXPECT_EQ(model.bosTokenId(), 1);
    EXPECT_EQ(model.eosToken(), "</s>");
    EXPECT_EQ(model.eosTokenId(), 2);
    EXPECT_EQ(model.unknownToken(), "<unk>");
    EXPECT_EQ(model.unknownTokenId(), 0);
    EXPECT_FLOAT_EQ(model.minScore(), -7.5f);
    EXPECT_FLOAT_EQ(model.unknownTokenScore(), -17.5f);
    EXPECT_TRUE(model.fuseUnknownTokens());
    EXPECT_EQ(model.convertTokenToId("a"), 3);
    EXPECT_EQ(model.convertTokenToId("zzz"), 0);
    EXPECT_EQ(model.convertIdToToken(3), "a");
    EXPECT_EQ(model.convertIdToToken(4), std::nullopt);
    EXPECT_EQ(model.convertIdToToken(-1), std::nullopt);

    const auto plain = unigram({{"a", 5}});
    EXPECT_EQ(plain.bosTokenId(), std::nullopt);
    EXPECT_EQ(plain.eosToken(), std::nullopt);
    EXPECT_FLOAT_EQ(plain.minScore(), 0.0f);
}

TEST(UnigramTokenizerTest, DefinitionForms) {
    struct Case {
        std::string model;
        std::optional<TokenizerError::Kind> error;
    };
    using Kind = TokenizerError::Kind;
    const std::vector<Case> cases = {
        {R"({"unk_id": 0, "vocab": [["<unk>", 0], ["a", -2]]})", std::nullopt},
        {R"({"unk_id": 0, "vocab": [["<unk>", 0.5, "ignored", -1.5]]})", std::nullopt},
        {R"({"unk_id": 0})", Kind::missingVocab},
        {R"({"unk_id": 0, "vocab": {"a": 0}})", Kind::missingVocab},
        {R"({"unk_id": 0, "vocab": [["a", "-1"]]})", Kind::malformedVocab},
        {R"({"unk_id": 0, "vocab": [[1, -1]]})", Kind::malformedVocab},
        {R"({"unk_id": 0, "vocab": [["a"]]})", Kind::malformedVocab},
        {R"({"unk_id": 0, "vocab": [[]]})", Kind::malformedVocab},
        {R"({"unk_id": 0, "vocab": ["a"]})", Kind::malformedVocab},
        {R"({"unk_id": 0.0, "vocab": [["a", -1]]})", Kind::malformedVocab},
        {R"({"vocab": [["a", -1]]})", Kind::malformedVocab},
        // An unknown piece that is not in the list.
        {R"({"unk_id": 1, "vocab": [["a", -1]]})", Kind::malformedVocab},
        {R"({"unk_id": -1, "vocab": [["a", -1]]})", Kind::malformedVocab},
        {R"({"unk_id": 0, "vocab": []})", Kind::malformedVocab},
    };
    for (const auto& c : cases) {
        const Config data = Config::parseJSON(R"({"model": )" + c.model + "}");
        std::optional<Kind> error;
        try {
            UnigramTokenizer(Config::parseJSON("{}"), data, {});
        } catch (const TokenizerError& e) {
            error = e.kind();
        }
        EXPECT_EQ(error, c.error) << c.model;
    }
    const Config integerScores = Config::parseJSON(R"({"model": {"unk_id": 0, "vocab": [["<unk>", 0], ["a", -2]]}})");
    EXPECT_FLOAT_EQ(UnigramTokenizer(Config::parseJSON("{}"), integerScores, {}).vocab()[1].score, -2.0f);
    // A piece listed twice keeps its first id.
    const Config twice = Config::parseJSON(R"({"model": {"unk_id": 0, "vocab": [["<unk>", 0], ["a", -2], ["a", -1]]}})");
    EXPECT_EQ(UnigramTokenizer(Config::parseJSON("{}"), twice, {}).convertTokenToId("a"), 1);
}

// An XLM-R-style definition: metaspace pieces, special tokens around the text.
const char* const unigramDefinition = R"({
    "added_tokens": [{"id": 0, "content": "<s>", "special": true}, {"id": 1, "content": "<pad>", "special": true},
                     {"id": 2, "content": "</s>", "special": true}, {"id": 3, "content": "<unk>", "special": true}],
    "pre_tokenizer": {"type": "Metaspace", "replacement": "\u2581", "add_prefix_space": true},
    "post_processor": {"type": "TemplateProcessing",
        "single": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                   {"SpecialToken": {"id": "</s>", "type_id": 0}}],
        "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}}]},
    "decoder": {"type": "Metaspace", "replacement": "\u2581", "add_prefix_space": true},
    "model": {"type": "Unigram", "unk_id": 3, "vocab": [["<s>", 0.0], ["<pad>", 0.0], ["</s>", 0.0], ["<unk>", 0.0],
        ["\u2581", -2.0], ["\u2581hello", -5.0], ["\u2581he", -4.0], ["llo", -4.0], ["\u2581world", -6.0],
        ["\u2581\u4e16\u754c", -7.0], ["\u4e16", -8.0], ["!", -3.0]]}})";

TEST(UnigramTokenizerTest, ThroughTheTokenizerPipeline) {
    for (const std::string tokenizerClass : {"XLMRobertaTokenizerFast", "T5Tokenizer"}) {
        const PreTrainedTokenizer t(Config::parseJSON(R"({"tokenizer_class": ")" + tokenizerClass + R"("})"),
                                    Config::parseJSON(unigramDefinition), true);
        struct Case {
            std::string text;
            Strings tokens;
            Ids ids;
        };
        const std::vector<Case> cases = {
            {"hello world!", {"\u2581hello", "\u2581world", "!"}, {0, 5, 8, 11, 2}},
            {"\u4e16\u754c", {"\u2581\u4e16\u754c"}, {0, 9, 2}},
            // A run of unknown characters fuses into one unknown token.
            {"xyz hello", {"\u2581", "x", "\u2581hello"}, {0, 4, 3, 5, 2}},
            {"<s>hello</s>", {"<s>", "\u2581hello", "</s>"}, {0, 0, 5, 2, 2}},
            {"", {}, {0, 2}},
        };
        for (const auto& c : cases) {
            EXPECT_EQ(t.tokenize(c.text), c.tokens) << c.text;
            EXPECT_EQ(t.encode(c.text), c.ids) << c.text;
        }
        EXPECT_EQ(t.decode(t.encode("hello world!"), true), "hello world!");
        EXPECT_EQ(t.unknownTokenId(), 3);
    }
}

TEST(UnigramTokenizerTest, ALongTextNeedsNoDeepStack) {
    const auto model = unigram({{"a", -1}, {"b", -1}});
    std::string text;
    for (int i = 0; i < 100000; ++i) {
        text += i % 3 == 0 ? "b" : "a";
    }
    const auto tokens = model.tokenize(text);
    ASSERT_EQ(tokens.size(), text.size());
    EXPECT_EQ(tokens.front(), "b");
    EXPECT_EQ(tokens.back(), "b");
}

TEST(TrieTest, LeavesWithACommonPrefix) {
    Trie<std::string> trie;
    trie.append(std::vector<Strings>{{"a"}, {"a", "b"}, {"a", "b", "c"}, {"b"}, {"a", "x", "y"}, {}});
    struct Case {
        Strings text;
        std::vector<Strings> prefixes;
    };
    const std::vector<Case> cases = {
        {{"a", "b", "c", "d"}, {{"a"}, {"a", "b"}, {"a", "b", "c"}}},
        // The search ends at the first element that leaves the tree, and an inner node is no match.
        {{"a", "x", "z", "y"}, {{"a"}}},
        {{"b", "a"}, {{"b"}}},
        {{"c"}, {}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        std::vector<Strings> found;
        auto search = trie.commonPrefixSearch(std::span<const std::string>(c.text));
        while (const auto prefix = search.next()) {
            found.emplace_back(prefix->begin(), prefix->end());
        }
        EXPECT_EQ(found, c.prefixes) << c.text.size();
        EXPECT_FALSE(search.next());
    }
    EXPECT_TRUE(trie.root().isLeaf);
    EXPECT_EQ(trie.nodeCount(), 7u);
}

TEST(TokenLatticeTest, ViterbiAndTokens) {
    TokenLattice lattice("a\u00e9b", 1, 2);
    EXPECT_EQ(lattice.characterCount(), 3u);
    lattice.insert(0, 1, -1, 10);
    lattice.insert(1, 2, -1, 11);
    lattice.insert(0, 2, -1.5, 12);
    lattice.insert(1, 1, -0.2, 13);
    lattice.insert(2, 1, -0.2, 14);
    const auto path = lattice.viterbi();
    ASSERT_EQ(path.size(), 3u);
    EXPECT_EQ(path[0]->tokenId, 10);
    EXPECT_EQ(path[1]->tokenId, 13);
    EXPECT_EQ(path[2]->tokenId, 14);
    EXPECT_FLOAT_EQ(path[2]->backtraceScore, -1.4f);
    EXPECT_EQ(lattice.tokens(), (Strings{"a", "\u00e9", "b"}));
    EXPECT_THROW(lattice.insert(2, 2, -1, 15), std::out_of_range);

    // A character where no candidate starts leaves no path.
    TokenLattice gap("ab", 0, 0);
    gap.insert(0, 1, -1, 3);
    EXPECT_TRUE(gap.viterbi().empty());
    EXPECT_TRUE(TokenLattice("", 0, 0).viterbi().empty());
}

TEST(TokenLatticeTest, NodeDescription) {
    auto prev = std::make_shared<TokenLatticeNode>(1, 0, 0, 0.0f);
    const TokenLatticeNode node(5, 0, 2, -1.5f, prev, -1.5f);
    EXPECT_EQ(node.description(),
              "TokenLatticeNode(tokenId: 5, startOffset: 0, length: 2, score: -1.5, prev: true, backtraceScore: -1.5)");
    EXPECT_EQ(prev->description(),
              "TokenLatticeNode(tokenId: 1, startOffset: 0, length: 0, score: 0.0, prev: false, backtraceScore: 0.0)");
}

TEST(TokenLatticeTest, ALongChainOfPredecessorsIsReleasedWithoutRecursion) {
    auto head = std::make_shared<TokenLatticeNode>(0, 0, 1, -1.0f);
    std::weak_ptr<TokenLatticeNode> first = head;
    for (std::size_t i = 1; i < 500000; ++i) {
        head = std::make_shared<TokenLatticeNode>(0, i, 1, -1.0f, std::move(head));
    }
    // A node of the chain that someone else still holds outlives the release.
    std::shared_ptr<TokenLatticeNode> kept = head->prev->prev;
    head.reset();
    ASSERT_TRUE(kept);
    EXPECT_FALSE(first.expired());
    kept.reset();
    EXPECT_TRUE(first.expired());
}

} // namespace
