#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "System/Tests/FileTesting/FileTesting.h"
#include "VuzadoDudi/External/Hub/HubClientError.h"
#include "VuzadoDudi/External/Hub/PretrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerWrapper.h"

namespace {

using namespace VuzadoDudi;
using Strings = std::vector<std::string>;

// A small byte-level definition: single characters plus a few merges, and the added tokens given.
std::string definition(const std::string& addedTokens, const std::string& extra = "") {
    std::string vocab = R"({"<unk>": 0)";
    int id = 1;
    for (int c = 33; c < 127; ++c) {
        vocab += ", \"" + std::string(c == '"' ? "\\\"" : c == '\\' ? "\\\\" : std::string(1, static_cast<char>(c))) +
                 "\": " + std::to_string(id++);
    }
    vocab += R"(, "Ġ": 200, "Ġw": 201, "or": 202, "Ġwor": 203, "ld": 204, "Ġworld": 205, "he": 206, "ll": 207,
               "hell": 208, "hello": 209, "Ċ": 210, "ĉ": 211})";
    return R"({"added_tokens": )" + addedTokens + R"(, "pre_tokenizer": {"type": "ByteLevel"},
               "decoder": {"type": "ByteLevel"}, )" + extra +
           R"( "model": {"vocab": )" + vocab +
           R"(, "merges": ["Ġ w", "o r", "Ġw or", "l d", "Ġwor ld", "h e", "l l", "he ll", "hell o"]}})";
}

PreTrainedTokenizer tokenizer(const std::string& addedTokens, const std::string& config = R"({"tokenizer_class": "GPT2Tokenizer"})",
                              const std::string& extra = "") {
    return PreTrainedTokenizer(Config::parseJSON(config), Config::parseJSON(definition(addedTokens, extra)), false);
}

TEST(PreTrainedTokenizerTest, WithoutAddedTokensTextIsNotCutIntoCharacters) {
    for (const std::string added : {"[]", R"([{"id": 300, "content": ""}])"}) {
        const auto t = tokenizer(added);
        EXPECT_EQ(t.tokenize("hello world"), (Strings{"hello", "Ġworld"})) << added;
    }
}

TEST(PreTrainedTokenizerTest, AddedTokensSplitTheText) {
    const auto t = tokenizer(R"([
        {"id": 300, "content": "<s>", "special": true},
        {"id": 301, "content": "<s>x", "special": false},
        {"id": 302, "content": "[L]", "lstrip": true},
        {"id": 303, "content": "[R]", "rstrip": true},
        {"id": 304, "content": "[B]", "lstrip": true, "rstrip": true},
        {"content": "[N]"}])");
    struct Case {
        std::string text;
        Strings tokens;
    };
    const std::vector<Case> cases = {
        // The longer token wins over its prefix.
        {"<s>x<s>hello", {"<s>x", "<s>", "hello"}},
        // A stripping token absorbs the blanks on its side.
        {"hello  [L] world", {"hello", "[L]", "Ġworld"}},
        {"hello [R]  world", {"hello", "Ġ", "[R]", "w", "or", "ld"}},
        {"hello \t[B]\n world", {"hello", "[B]", "w", "or", "ld"}},
        // A token without an id is cut out but goes through the model.
        {"a[N]b", {"a", "[", "N", "]", "b"}},
        {"[L][L]", {"[L]", "[L]"}},
        {"   ", {"Ġ", "Ġ", "Ġ"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(t.tokenize(c.text), c.tokens) << c.text;
    }
    EXPECT_EQ(t.decode(t.encode("<s>hello"), true), "hello");
    EXPECT_EQ(t.decode(t.encode("<s>hello"), false), "<s>hello");
}

TEST(PreTrainedTokenizerTest, FirstSectionReachesThePreTokenizer) {
    const Config config = Config::parseJSON(R"({"tokenizer_class": "GPT2Tokenizer"})");
    const auto metaspace = PreTrainedTokenizer(
        config,
        Config::parseJSON(R"({"added_tokens": [{"id": 5, "content": "<s>"}],
            "pre_tokenizer": {"type": "Metaspace", "replacement": "▁", "add_prefix_space": true, "prepend_scheme": "first"},
            "model": {"vocab": {"▁a": 0, "b": 1, "▁": 2, "a": 3, "▁b": 4}, "merges": ["▁ a", "▁ b"]}})"),
        false);
    EXPECT_EQ(metaspace.tokenize("a<s>a b"), (Strings{"▁a", "<s>", "a", "▁b"}));
}

TEST(PreTrainedTokenizerTest, BlankTextStrippedAwayGivesNoToken) {
    const Config data = Config::parseJSON(R"({"normalizer": {"type": "Strip"},
        "pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": true},
        "model": {"vocab": {"Ġ": 0, "a": 1, "Ġa": 2}, "merges": ["Ġ a"]}})");
    const auto t =
        PreTrainedTokenizer(Config::parseJSON(R"({"tokenizer_class": "GPT2Tokenizer"})"), data, false);
    EXPECT_EQ(t.encode(" \t\n "), std::vector<int>{});
    EXPECT_EQ(t.encode(""), std::vector<int>{});
    EXPECT_EQ(t.encode(" a "), std::vector<int>{2});
}

TEST(PreTrainedTokenizerTest, CleanUpOfDecodedText) {
    const auto cleaning = tokenizer("[]");
    EXPECT_EQ(cleaning.cleanUp("a , b ! c 's d n't"), "a, b! c's dn't");
    const auto keeping = tokenizer("[]", R"({"tokenizer_class": "GPT2Tokenizer", "clean_up_tokenization_spaces": false})");
    EXPECT_EQ(keeping.cleanUp("a , b !"), "a , b !");
    EXPECT_EQ(keeping.decode(keeping.encode("a , b !")), "a , b !");
}

TEST(PreTrainedTokenizerTest, UnknownTokensFuseWhenTheModelSaysSo) {
    const Config data = Config::parseJSON(
        R"({"pre_tokenizer": {"type": "WhitespaceSplit"}, "model": {"vocab": {"<unk>": 0, "a": 1}, "merges": []}})");
    const auto fusing = PreTrainedTokenizer(
        Config::parseJSON(R"({"tokenizer_class": "GPT2Tokenizer", "unk_token": "<unk>", "fuse_unk": true})"), data, false);
    EXPECT_EQ(fusing.fuseUnknown({"a", "x", "y", "z", "a", "q"}), (Strings{"a", "x", "a", "q"}));
    EXPECT_EQ(fusing.encode("a xyz a"), (std::vector<int>{1, 0, 1}));
    const auto plain = PreTrainedTokenizer(
        Config::parseJSON(R"({"tokenizer_class": "GPT2Tokenizer", "unk_token": "<unk>"})"), data, false);
    EXPECT_EQ(plain.encode("a xyz a"), (std::vector<int>{1, 0, 0, 0, 1}));
}

TEST(PreTrainedTokenizerTest, ATokenWithoutIdIsAClearError) {
    const Config data = Config::parseJSON(R"({"model": {"vocab": {"a": 1}, "merges": []}})");
    const auto t = PreTrainedTokenizer(Config::parseJSON(R"({"tokenizer_class": "GPT2Tokenizer"})"), data, false);
    EXPECT_EQ(t.encode("aa"), (std::vector<int>{1, 1}));
    try {
        t.encode("ab");
        FAIL() << "a token without an id was encoded";
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.kind(), TokenizerError::Kind::missingTokenId);
        EXPECT_NE(std::string(error.what()).find("<0x62>"), std::string::npos);
    }
}

TEST(PreTrainedTokenizerTest, ComponentRefusalsReachTheCaller) {
    try {
        tokenizer("[]", R"({"tokenizer_class": "GPT2Tokenizer"})", R"("normalizer": {"type": "Nope"},)");
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_STREQ(error.what(), "Unsupported Normalizer type: Nope");
    }
}

TEST(AutoTokenizerTest, ClassSelection) {
    const Config data = Config::parseJSON(definition("[]"));
    struct Case {
        std::string tokenizerClass;
        bool strict;
        std::string error; // "" when a tokenizer is built
    };
    const std::vector<Case> cases = {
        {R"("WhisperTokenizer")", true, ""},
        {R"("WhisperTokenizerFast")", true, ""},
        {R"("GPT2Tokenizer")", true, ""},
        {R"("FastTokenizer")", true, "The tokenizer type 'Tokenizer' is not supported."},
        {R"("bertTokenizer")", true, "The tokenizer type 'bertTokenizer' is not supported."},
        {R"("bertTokenizer")", false, ""},
        // A word-piece model over the same vocabulary object.
        {R"("BertTokenizer")", false, ""},
        // A unigram model wants a vocabulary list.
        {R"("XLMRobertaTokenizer")", false, "Vocabulary file is missing from the tokenizer configuration."},
        {R"("LlamaTokenizerFast")", false, ""},
        {"3", false, "The tokenizer class is not specified in the configuration."},
    };
    for (const auto& c : cases) {
        const Config config = Config::parseJSON(R"({"tokenizer_class": )" + c.tokenizerClass + "}");
        std::string error;
        try {
            const auto construct = AutoTokenizer::tokenizerClass(config);
            const auto built = construct(config, data, c.strict);
            EXPECT_EQ(built->tokenize("hello"), Strings{"hello"});
        } catch (const TokenizerError& e) {
            error = e.what();
        }
        EXPECT_EQ(error, c.error) << c.tokenizerClass;
    }
}

TEST(AutoTokenizerTest, WrapperLoadsALocalFolder) {
    System::FileTesting::TemporaryFolder folder("tokenizer-folder");
    std::ofstream(folder / "tokenizer.json") << definition(R"([{"id": 300, "content": "<|endoftext|>", "special": true}])");
    std::ofstream(folder / "config.json") << R"({"model_type": "whisper"})";
    // Without a tokenizer configuration there is nothing to build.
    EXPECT_THROW(AutoTokenizerWrapper::from(folder.path(), true), TokenizerError);
    // Without a class, the model type names it.
    std::ofstream(folder / "tokenizer_config.json") << R"({"eos_token": "<|endoftext|>"})";
    const TokenizerWrapper wrapper = AutoTokenizerWrapper::from(folder.path(), true);
    const auto ids = wrapper.encode("hello<|endoftext|>");
    EXPECT_EQ(ids, (std::vector<int>{209, 300}));
    EXPECT_EQ(wrapper.decode(ids, true), "hello");
    EXPECT_EQ(wrapper.eosTokenId(), 300);
    EXPECT_EQ(wrapper.convertTokensToIds({"hello", "nope"}), (std::vector<std::optional<int>>{209, std::nullopt}));
    EXPECT_EQ(wrapper.convertIdsToTokens({209, 99999}), (std::vector<std::optional<std::string>>{"hello", std::nullopt}));
    EXPECT_EQ(wrapper.unknownTokenId(), std::nullopt);

    std::ofstream(folder / "tokenizer.json") << "[1, 2]";
    EXPECT_THROW(AutoTokenizerWrapper::from(folder.path(), true), Hub::HubClientError);
    std::filesystem::remove(folder / "tokenizer.json");
    EXPECT_THROW(AutoTokenizerWrapper::from(folder.path(), true), Hub::HubClientError);
}

} // namespace
