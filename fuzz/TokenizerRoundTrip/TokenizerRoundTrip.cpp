#include <cstddef>
#include <cstdint>
#include <string>

#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/PreTrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerWrapper.h"
#include "VuzadoDudi/External/Tokenizers/UnigramTokenizer.h"
#include "VuzadoDudi/Unicode.h"
#include "WhisperTokenizerWriter.h"

namespace {

const VuzadoDudi::TokenizerWrapper& whisper() {
    static const VuzadoDudi::TokenizerWrapper tokenizer = [] {
        WhisperTokenizerWriter::Options options;
        options.mergeCount = 1000;
        options.generatedWords = 10000;
        return VuzadoDudi::AutoTokenizerWrapper::from(WhisperTokenizerWriter::cachedFolder(options), true);
    }();
    return tokenizer;
}

// A definition that runs the other component families: normalizers, a pre-tokenizer sequence, tokens that
// strip blanks on either side, byte fallback and fusing decoders.
const VuzadoDudi::PreTrainedTokenizer& assorted() {
    static const VuzadoDudi::PreTrainedTokenizer tokenizer(
        VuzadoDudi::Config::parseJSON(R"({"tokenizer_class": "GPT2Tokenizer", "unk_token": "<unk>", "fuse_unk": true})"),
        VuzadoDudi::Config::parseJSON(R"({
            "added_tokens": [{"id": 10, "content": "<s>", "special": true, "lstrip": true},
                             {"id": 11, "content": "</s>", "rstrip": true}, {"id": 12, "content": "<s>x"}],
            "normalizer": {"type": "Sequence", "normalizers": [{"type": "NFKC"}, {"type": "BertNormalizer"},
                {"type": "StripAccents"}, {"type": "Replace", "pattern": {"Regex": "\\s+"}, "content": " "},
                {"type": "Precompiled"}, {"type": "Strip"}]},
            "pre_tokenizer": {"type": "Sequence", "pretokenizers": [{"type": "Whitespace"}, {"type": "Digits"},
                {"type": "Metaspace", "replacement": "▁", "add_prefix_space": true, "prepend_scheme": "first"}]},
            "decoder": {"type": "Sequence", "decoders": [{"type": "ByteFallback"}, {"type": "Metaspace",
                "replacement": "▁", "add_prefix_space": true}, {"type": "Fuse"},
                {"type": "Strip", "content": " ", "start": 1, "stop": 1}]},
            "model": {"vocab": {"<unk>": 0, "a": 1, "b": 2, "ab": 3, "▁": 4, "▁a": 5, "<0x41>": 6},
                      "merges": ["a b", "▁ a"]}})"),
        false);
    return tokenizer;
}

std::unique_ptr<VuzadoDudi::PreTrainedTokenizer> build(const char* config, const char* definition) {
    const auto tokenizerConfig = VuzadoDudi::Config::parseJSON(config);
    return VuzadoDudi::AutoTokenizer::tokenizerClass(tokenizerConfig)(
        tokenizerConfig, VuzadoDudi::Config::parseJSON(definition), true);
}

// Word pieces with special tokens around the text, lower-casing, accent folding and ideographs set apart.
const VuzadoDudi::PreTrainedTokenizer& wordPiece() {
    static const auto tokenizer = build(R"({"tokenizer_class": "BertTokenizerFast"})", R"({
        "added_tokens": [{"id": 0, "content": "[UNK]", "special": true}, {"id": 1, "content": "[CLS]", "special": true},
                         {"id": 2, "content": "[SEP]", "special": true}],
        "post_processor": {"type": "BertProcessing", "sep": ["[SEP]", 2], "cls": ["[CLS]", 1]},
        "decoder": {"type": "WordPiece", "prefix": "##", "cleanup": true},
        "model": {"vocab": {"[UNK]": 0, "[CLS]": 1, "[SEP]": 2, "a": 3, "##a": 4, "b": 5, "##b": 6, "ab": 7,
                            "\u4e2d": 8, "e": 9, "##e": 10, "\u00e9": 11, "!": 12, ".": 13, "##\u00e9": 14}}})");
    return *tokenizer;
}

// A unigram model without pre-tokenizer, so the model sees the whole text.
const VuzadoDudi::PreTrainedTokenizer& unigram() {
    static const auto tokenizer = build(R"({"tokenizer_class": "XLMRobertaTokenizer", "eos_token": "</s>"})", R"({
        "added_tokens": [{"id": 1, "content": "</s>", "special": true}],
        "model": {"unk_id": 0, "vocab": [["<unk>", 0], ["</s>", 0], ["a", -2], ["b", -2.5], ["ab", -3], ["abc", -4],
                  ["c", -5], [" ", -1], ["\u00e9", -3], ["e\u0301", -3], ["\u4e2d\u6587", -6], ["\u4e2d", -4]]}})");
    return *tokenizer;
}

// The legacy-aware tokenizer without legacy: metaspace marks and a template from the configuration.
const VuzadoDudi::PreTrainedTokenizer& legacyAware() {
    static const auto tokenizer = build(R"({"tokenizer_class": "LlamaTokenizerFast", "legacy": false,
        "add_bos_token": true, "bos_token": "<s>", "eos_token": "</s>", "unk_token": "<unk>"})", R"({
        "added_tokens": [{"id": 0, "content": "<unk>", "special": true}, {"id": 1, "content": "<s>", "special": true},
                         {"id": 2, "content": "</s>", "special": true}],
        "decoder": {"type": "Sequence", "decoders": [
            {"type": "Replace", "pattern": {"String": "\u2581"}, "content": " "}, {"type": "ByteFallback"},
            {"type": "Fuse"}, {"type": "Strip", "content": " ", "start": 1, "stop": 0}]},
        "model": {"vocab": {"<unk>": 0, "<s>": 1, "</s>": 2, "\u2581": 3, "a": 4, "\u2581a": 5, "<0x41>": 6},
                  "merges": ["\u2581 a"]}})");
    return *tokenizer;
}

} // namespace

// The tokenizers are built before the first input, outside the time limit of one input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    whisper();
    assorted();
    wordPiece();
    unigram();
    legacyAware();
    return 0;
}

// Whatever the bytes: encoding never fails for the Whisper tokenizer and decoding gives the text back (with
// ill-formed UTF-8 repaired to U+FFFD); any id sequence decodes; the unigram pieces of a text make up the text;
// the other families never crash.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string repaired = VuzadoDudi::Unicode::toUTF8(VuzadoDudi::Unicode::toUTF16(text));

    const auto ids = whisper().encode(text, false);
    if (whisper().decode(ids) != repaired) {
        __builtin_trap();
    }
    std::vector<int> arbitrary;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        arbitrary.push_back(static_cast<int>(data[i]) * 256 + data[i + 1] - 8000);
    }
    (void)whisper().decode(arbitrary, size % 2 == 0);

    try {
        const auto assortedIds = assorted().encode(text);
        (void)assorted().decode(assortedIds, true);
        (void)assorted().decode(arbitrary);
    } catch (const VuzadoDudi::TokenizerError&) {
        // A token without an id in this tiny vocabulary is refused with a clear error.
    }

    // Every word piece has an id, since the vocabulary has an unknown token.
    (void)wordPiece().decode(wordPiece().encode(text), size % 2 == 0);
    (void)wordPiece().decode(arbitrary);

    // The best path of the lattice covers the whole text: its pieces put together give it back.
    std::string joined;
    for (const auto& piece : unigram().model().tokenize(repaired)) {
        joined += piece;
    }
    if (joined != repaired) {
        __builtin_trap();
    }
    (void)unigram().decode(unigram().encode(text), true);
    (void)unigram().decode(arbitrary);

    try {
        (void)legacyAware().decode(legacyAware().encode(text), true);
    } catch (const VuzadoDudi::TokenizerError&) {
        // Byte pieces this vocabulary lacks are refused with a clear error.
    }
    (void)legacyAware().decode(arbitrary);
    return 0;
}
