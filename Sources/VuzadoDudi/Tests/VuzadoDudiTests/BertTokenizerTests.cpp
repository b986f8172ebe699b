#include <gtest/gtest.h>

#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/BertTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"

namespace {

using namespace VuzadoDudi;
using Strings = std::vector<std::string>;
using Ids = std::vector<int>;

std::string repeated(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += piece;
    }
    return text;
}

// A BERT-style definition: the model does its own word splitting, a template puts [CLS] and [SEP] around the
// text, and the word-piece decoder joins continuations.
const char* const bertDefinition = R"({
    "added_tokens": [{"id": 0, "content": "[PAD]", "special": true}, {"id": 1, "content": "[UNK]", "special": true},
                     {"id": 2, "content": "[CLS]", "special": true}, {"id": 3, "content": "[SEP]", "special": true},
                     {"id": 4, "content": "[MASK]", "special": true}],
    "post_processor": {"type": "TemplateProcessing",
        "single": [{"SpecialToken": {"id": "[CLS]", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                   {"SpecialToken": {"id": "[SEP]", "type_id": 0}}],
        "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}}]},
    "decoder": {"type": "WordPiece", "prefix": "##", "cleanup": true},
    "model": {"type": "WordPiece", "unk_token": "[UNK]", "vocab": {
        "[PAD]": 0, "[UNK]": 1, "[CLS]": 2, "[SEP]": 3, "[MASK]": 4, "hello": 5, ",": 6, "world": 7, "!": 8,
        "un": 9, "##aff": 10, "##able": 11, "cafe": 12, "caf\u00e9": 13, "\u4e2d": 14, "\u6587": 15, "a": 16,
        "b": 17, "##b": 18, "x": 19, "##x": 20, "\u00e9": 21, "##\u00e9": 22, "\ud55c\uad6d": 23, "Hello": 24}}})";

PreTrainedTokenizer bert(const std::string& config) {
    return PreTrainedTokenizer(Config::parseJSON(config), Config::parseJSON(bertDefinition), true);
}

struct Case {
    std::string text;
    Strings tokens;
    Ids ids; // with the special tokens
};

void expectCases(const PreTrainedTokenizer& tokenizer, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(tokenizer.tokenize(c.text), c.tokens) << c.text;
        EXPECT_EQ(tokenizer.encode(c.text), c.ids) << c.text;
    }
}

TEST(BertTokenizerTest, LowerCasedDefinition) {
    const auto t = bert(R"({"tokenizer_class": "BertTokenizer"})");
    Strings hundred = {"x"};
    Ids hundredIds = {2, 19};
    for (int i = 1; i < 100; ++i) {
        hundred.push_back("##x");
        hundredIds.push_back(20);
    }
    hundredIds.push_back(3);
    expectCases(t, {
        {"Hello, world!", {"hello", ",", "world", "!"}, {2, 5, 6, 7, 8, 3}},
        {"unaffable", {"un", "##aff", "##able"}, {2, 9, 10, 11, 3}},
        // A word covered only in part is unknown as a whole.
        {"unaffzable", {"[UNK]"}, {2, 1, 3}},
        {"zebra hello", {"[UNK]", "hello"}, {2, 1, 5, 3}},
        // Accents go and case folds before the look-up.
        {"CAF\u00c9", {"cafe"}, {2, 12, 3}},
        {"Cafe\u0301", {"cafe"}, {2, 12, 3}},
        // A Hangul syllable is no letter with marks: it stays as it is.
        {"\ud55c\uad6d", {"\ud55c\uad6d"}, {2, 23, 3}},
        // Every ideograph is a word of its own.
        {"\u4e2d\u6587", {"\u4e2d", "\u6587"}, {2, 14, 15, 3}},
        {"a\u4e2db", {"a", "\u4e2d", "b"}, {2, 16, 14, 17, 3}},
        // Line breaks and other white space separate words; "ab" as one word would be a, ##b.
        {"ab", {"a", "##b"}, {2, 16, 18, 3}},
        {"a\nb", {"a", "b"}, {2, 16, 17, 3}},
        {"a\r\nb", {"a", "b"}, {2, 16, 17, 3}},
        {"a\tb\u00a0a\u2028b", {"a", "b", "a", "b"}, {2, 16, 17, 16, 17, 3}},
        // ASCII symbols count as punctuation.
        {"hello$world", {"hello", "[UNK]", "world"}, {2, 5, 1, 7, 3}},
        // The limit counts characters: 100 are covered, 101 are unknown.
        {repeated("x", 100), hundred, hundredIds},
        {repeated("x", 101), {"[UNK]"}, {2, 1, 3}},
        {"", {}, {2, 3}},
        {" \n\t ", {}, {2, 3}},
    });
    EXPECT_EQ(t.encode("hello", false), (Ids{5}));
    EXPECT_EQ(t.decode(t.encode("unaffable, world"), true), "unaffable, world");
}

TEST(BertTokenizerTest, CaseAndIdeographSettingsOff) {
    const auto t = bert(R"({"tokenizer_class": "BertTokenizerFast", "do_lower_case": false,
                           "handle_chinese_chars": "false"})");
    // The limit counts characters, not code points: e + U+0301 is one.
    Strings hundred = {"e\u0301"};
    Ids hundredIds = {2, 21};
    for (int i = 1; i < 100; ++i) {
        hundred.push_back("##e\u0301");
        hundredIds.push_back(22);
    }
    hundredIds.push_back(3);
    expectCases(t, {
        {"Hello hello", {"Hello", "hello"}, {2, 24, 5, 3}},
        {"HELLO", {"[UNK]"}, {2, 1, 3}},
        // Accents stay, and a decomposed text finds its precomposed entry.
        {"cafe\u0301", {"cafe\u0301"}, {2, 13, 3}},
        {"caf\u00e9", {"caf\u00e9"}, {2, 13, 3}},
        {"\u4e2d\u6587", {"[UNK]"}, {2, 1, 3}},
        {repeated("e\u0301", 100), hundred, hundredIds},
        {repeated("e\u0301", 101), {"[UNK]"}, {2, 1, 3}},
    });
    EXPECT_EQ(t.convertIdToToken(13), "caf\u00e9");
}

TEST(BertTokenizerTest, WordsOfTheBasicTokenizer) {
    struct WordCase {
        bool lowerCase;
        std::string text;
        Strings words;
    };
    const std::vector<WordCase> cases = {
        {true, "[CLS] Hello, world!", {"[CLS]", "hello", ",", "world", "!"}},
        {true, "[cls]", {"[", "cls", "]"}},
        {false, "[MASK]x", {"[", "MASK", "]", "x"}},
        {true, "\u00c5ngstr\u00f6m \u00d1and\u00fa", {"angstrom", "nandu"}},
        {false, "\u00c5ngstr\u00f6m", {"\u00c5ngstr\u00f6m"}},
        // Unicode punctuation of every kind, and symbols outside ASCII are no punctuation.
        {false, "a\u2014b\u00abc\u00bb\u00a7d\u20ac", {"a", "\u2014", "b", "\u00ab", "c", "\u00bb", "\u00a7", "d\u20ac"}},
        {false, "a\u3000b\u0085c\u000bd", {"a", "b", "c", "d"}},
        {true, "", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BasicTokenizer(c.lowerCase).tokenize(c.text), c.words) << c.text;
    }
}

TEST(BertTokenizerTest, VocabularyPrecedenceAndSpecialTokens) {
    const Config data = Config::parseJSON(R"({
        "added_tokens": [{"id": 30, "content": "hello"}, {"id": 31, "content": "world"}, {"content": "a"},
                         {"id": "32", "content": "b"}],
        "model": {"vocab": {"[UNK]": 7, "hello": 1, "world": 2, "a": 3, "b": 4, "half": 2.5, "text": "x"}}})");
    const BertTokenizer model(Config::parseJSON(R"({"bos_token": "a", "eos_token": {"content": "b"},
                                                    "fuse_unk": true})"),
                              data, {{"world", 40}});
    EXPECT_EQ(model.convertTokenToId("hello"), 30);
    EXPECT_EQ(model.convertTokenToId("world"), 40);
    EXPECT_EQ(model.convertTokenToId("a"), 3);
    EXPECT_EQ(model.convertTokenToId("b"), 4);
    EXPECT_EQ(model.convertTokenToId("half"), 7);
    EXPECT_EQ(model.convertIdToToken(40), "world");
    EXPECT_EQ(model.convertIdToToken(99), std::nullopt);
    EXPECT_EQ(model.unknownToken(), "[UNK]");
    EXPECT_EQ(model.unknownTokenId(), 7);
    EXPECT_EQ(model.bosToken(), "a");
    EXPECT_EQ(model.bosTokenId(), 3);
    // Only a plain text names the end token here.
    EXPECT_EQ(model.eosToken(), std::nullopt);
    EXPECT_EQ(model.eosTokenId(), std::nullopt);
    EXPECT_TRUE(model.fuseUnknownTokens());
    EXPECT_TRUE(model.tokenizeChineseChars());
    EXPECT_TRUE(model.basicTokenizer().doLowerCase());

    const BertTokenizer withoutUnknown({{"a", 0}}, false, std::nullopt, std::nullopt, false, false);
    EXPECT_EQ(withoutUnknown.tokenize("a b"), (Strings{"a", "[UNK]"}));
    EXPECT_EQ(withoutUnknown.convertTokenToId("[UNK]"), std::nullopt);
    EXPECT_FALSE(withoutUnknown.fuseUnknownTokens());
}

TEST(BertTokenizerTest, RefusesADefinitionWithoutVocabularyObject) {
    for (const std::string model : {R"({"vocab": [["a", 0]]})", R"({})", R"({"vocab": "a"})"}) {
        try {
            BertTokenizer(Config::parseJSON("{}"), Config::parseJSON(R"({"model": )" + model + "}"), {});
            FAIL() << model;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error.kind(), TokenizerError::Kind::missingVocab) << model;
        }
    }
}

} // namespace
