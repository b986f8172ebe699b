#include <gtest/gtest.h>

#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/BPETokenizer.h"
#include "VuzadoDudi/External/Tokenizers/BertTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/LlamaPreTrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/External/Tokenizers/UnigramTokenizer.h"

namespace {

using namespace VuzadoDudi;
using Strings = std::vector<std::string>;
using Ids = std::vector<int>;

// A Llama-style definition: a normalizer that marks the start and the blanks with the metaspace character, a
// BPE model over metaspace pieces with byte fallback, and no post-processor of its own.
std::string llamaDefinition(const std::string& postProcessor = "null") {
    return R"({
        "added_tokens": [{"id": 0, "content": "<unk>", "special": true}, {"id": 1, "content": "<s>", "special": true},
                         {"id": 2, "content": "</s>", "special": true}, {"id": 10, "content": "[tool]"}],
        "normalizer": {"type": "Sequence", "normalizers": [{"type": "Prepend", "prepend": "\u2581"},
                       {"type": "Replace", "pattern": {"String": " "}, "content": "\u2581"}]},
        "pre_tokenizer": null,
        "post_processor": )" + postProcessor + R"(,
        "decoder": {"type": "Sequence", "decoders": [
            {"type": "Replace", "pattern": {"String": "\u2581"}, "content": " "}, {"type": "ByteFallback"},
            {"type": "Fuse"}, {"type": "Strip", "content": " ", "start": 1, "stop": 0}]},
        "model": {"type": "BPE", "byte_fallback": true,
            "vocab": {"<unk>": 0, "<s>": 1, "</s>": 2, "\u2581": 3, "h": 4, "i": 5, "\u2581h": 6, "\u2581hi": 7,
                      "hi": 8, "<0x78>": 9, "[tool]": 10},
            "merges": ["\u2581 h", "\u2581h i", "h i"]}})";
}

LlamaPreTrainedTokenizer llama(const std::string& legacy, const std::string& postProcessor = "null") {
    const Config config = Config::parseJSON(R"({"tokenizer_class": "LlamaTokenizerFast", "add_bos_token": true,
        "bos_token": {"content": "<s>"}, "eos_token": "</s>", "unk_token": "<unk>")" + legacy + "}");
    return LlamaPreTrainedTokenizer(config, Config::parseJSON(llamaDefinition(postProcessor)), true);
}

TEST(LlamaPreTrainedTokenizerTest, LegacyAndNonLegacyTokenize) {
    const auto absent = llama("");
    const auto legacy = llama(R"(, "legacy": true)");
    const auto modern = llama(R"(, "legacy": false)");
    EXPECT_TRUE(absent.isLegacy());
    EXPECT_FALSE(modern.isLegacy());
    struct Case {
        std::string text;
        Strings legacyTokens;
        Strings tokens;
        Ids legacyIds; // with the beginning token the configuration asks for
        Ids ids;
    };
    const std::vector<Case> cases = {
        {"hi hi", {"\u2581hi", "\u2581hi"}, {"\u2581hi", "\u2581hi"}, {1, 7, 7}, {1, 7, 7}},
        // The legacy form runs the file's normalizer on the text after a special token; the other marks only
        // the start of the text, and drops the mark when a special token follows it.
        {"<s>hi", {"<s>", "\u2581hi"}, {"<s>", "hi"}, {1, 1, 7}, {1, 1, 8}},
        // A token that is not special keeps the mark before it.
        {"[tool]hi", {"[tool]", "\u2581hi"}, {"\u2581", "[tool]", "hi"}, {1, 10, 7}, {1, 3, 10, 8}},
        {"hi</s>", {"\u2581hi", "</s>"}, {"\u2581hi", "</s>"}, {1, 7, 2}, {1, 7, 2}},
        // A metaspace character in the text is a blank to the non-legacy form.
        {"\u2581hi", {"\u2581", "\u2581hi"}, {"\u2581", "\u2581hi"}, {1, 3, 7}, {1, 3, 7}},
        {"x", {"\u2581", "<0x78>"}, {"\u2581", "<0x78>"}, {1, 3, 9}, {1, 3, 9}},
        {"", {}, {}, {1}, {1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(absent.tokenize(c.text), c.legacyTokens) << c.text;
        EXPECT_EQ(legacy.tokenize(c.text), c.legacyTokens) << c.text;
        EXPECT_EQ(absent.encode(c.text), c.legacyIds) << c.text;
        EXPECT_EQ(modern.tokenize(c.text), c.tokens) << c.text;
        EXPECT_EQ(modern.encode(c.text), c.ids) << c.text;
    }
    EXPECT_EQ(modern.decode(modern.encode("hi hi x"), true), "hi hi x");
    EXPECT_EQ(absent.decode(absent.encode("hi hi x"), true), "hi hi x");
}

TEST(LlamaPreTrainedTokenizerTest, TheFileTemplateStays) {
    const std::string fileTemplate = R"({"type": "TemplateProcessing",
        "single": [{"Sequence": {"id": "A", "type_id": 0}}, {"SpecialToken": {"id": "</s>", "type_id": 0}}],
        "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}}]})";
    EXPECT_EQ(llama("", fileTemplate).encode("hi"), (Ids{7, 2}));
    // A processor of another kind gives way to the template of the configuration.
    EXPECT_EQ(llama("", R"({"type": "ByteLevel"})").encode("hi"), (Ids{1, 7}));
    try {
        llama("", R"({"type": "Nope"})");
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.kind(), TokenizerError::Kind::invalidDefinition);
    }
}

TEST(LlamaPreTrainedTokenizerTest, PostProcessorFromTheConfiguration) {
    const Config none;
    const Config fileTemplate = Config::parseJSON(R"({"type": "TemplateProcessing", "single": [], "pair": []})");
    struct Case {
        std::string config;
        const Config* processor;
        std::string expected; // "" when the file's template stays
    };
    const std::vector<Case> cases = {
        {R"({"add_bos_token": true, "bos_token": "B"})", &none,
         R"({"type": "TemplateProcessing",
             "single": [{"SpecialToken": {"id": "B", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}}],
             "pair": [{"SpecialToken": {"id": "B", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                      {"SpecialToken": {"id": "B", "type_id": 1}}, {"Sequence": {"id": "B", "type_id": 1}}]})"},
        {R"({"add_bos_token": "true", "bos_token": {"content": "<s>"}, "add_eos_token": 1, "eos_token": "</s>"})",
         &none,
         R"({"type": "TemplateProcessing",
             "single": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                        {"SpecialToken": {"id": "</s>", "type_id": 0}}],
             "pair": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                      {"SpecialToken": {"id": "</s>", "type_id": 0}}, {"SpecialToken": {"id": "<s>", "type_id": 1}},
                      {"Sequence": {"id": "B", "type_id": 1}}, {"SpecialToken": {"id": "</s>", "type_id": 1}}]})"},
        {R"({"bos_token": "B", "eos_token": "E"})", nullptr,
         R"({"type": "TemplateProcessing", "single": [{"Sequence": {"id": "A", "type_id": 0}}],
             "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}}]})"},
        // With a template in the file neither setting is read, not even a contradictory one.
        {R"({"add_bos_token": true})", &fileTemplate, ""},
    };
    for (const auto& c : cases) {
        const auto processor = maybeUpdatePostProcessor(Config::parseJSON(c.config), c.processor);
        if (c.expected.empty()) {
            EXPECT_FALSE(processor) << c.config;
        } else {
            ASSERT_TRUE(processor) << c.config;
            EXPECT_EQ(*processor, Config::parseJSON(c.expected)) << c.config;
        }
    }

    const std::vector<std::pair<std::string, std::string>> mismatches = {
        {R"({"add_bos_token": true, "bos_token": {"text": "B"}})", "add_bos_token is True but bos_token is nil"},
        {R"({"add_eos_token": true, "bos_token": "B"})", "add_eos_token is True but eos_token is nil"},
    };
    for (const auto& [config, message] : mismatches) {
        try {
            maybeUpdatePostProcessor(Config::parseJSON(config), &none);
            FAIL() << config;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error.kind(), TokenizerError::Kind::mismatchedConfig);
            EXPECT_EQ(std::string(error.what()), "Tokenizer configuration mismatch: " + message);
        }
    }
    // The tokenizer is not built when its configuration contradicts itself.
    EXPECT_THROW(LlamaPreTrainedTokenizer(Config::parseJSON(R"({"tokenizer_class": "LlamaTokenizer",
                                                               "add_bos_token": true})"),
                                          Config::parseJSON(llamaDefinition()), true),
                 TokenizerError);
}

// Which class and model each name of the table builds, over a definition of that model's kind.
TEST(AutoTokenizerTest, EveryFamilyOfTheTableLoads) {
    const std::string bpe = llamaDefinition();
    const std::string wordPiece = R"({"model": {"vocab": {"[UNK]": 0, "hi": 1}}})";
    const std::string unigram = R"({"model": {"unk_id": 0, "vocab": [["<unk>", 0], ["hi", -1]]}})";
    struct Case {
        std::string tokenizerClass;
        const std::string& definition;
        std::string model;
        bool legacyAware;
    };
    const std::vector<Case> cases = {
        {"BertTokenizer", wordPiece, "WordPiece", false},
        {"DistilbertTokenizer", wordPiece, "WordPiece", false},
        {"DistilBertTokenizerFast", wordPiece, "WordPiece", false},
        {"XLMRobertaTokenizerFast", unigram, "Unigram", false},
        {"T5Tokenizer", unigram, "T5", false},
        {"LlamaTokenizer", bpe, "BPE", true},
        {"LlamaTokenizerFast", bpe, "BPE", true},
        {"CodeLlamaTokenizer", bpe, "BPE", false},
        {"GemmaTokenizer", bpe, "BPE", false},
    };
    for (const auto& c : cases) {
        const Config config = Config::parseJSON(R"({"tokenizer_class": ")" + c.tokenizerClass + R"("})");
        const auto tokenizer = AutoTokenizer::tokenizerClass(config)(config, Config::parseJSON(c.definition), true);
        const TokenizingModel* model = &tokenizer->model();
        std::string kind = dynamic_cast<const T5Tokenizer*>(model)           ? "T5"
                           : dynamic_cast<const UnigramTokenizer*>(model) ? "Unigram"
                           : dynamic_cast<const BertTokenizer*>(model)    ? "WordPiece"
                           : dynamic_cast<const BPETokenizer*>(model)     ? "BPE"
                                                                          : "?";
        EXPECT_EQ(kind, c.model) << c.tokenizerClass;
        EXPECT_EQ(dynamic_cast<const LlamaPreTrainedTokenizer*>(tokenizer.get()) != nullptr, c.legacyAware)
            << c.tokenizerClass;
        EXPECT_EQ(tokenizer->convertTokenToId(c.model == "BPE" ? "\u2581hi" : "hi"), c.model == "BPE" ? 7 : 1)
            << c.tokenizerClass;
    }
}

} // namespace
