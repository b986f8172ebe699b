#include <cstddef>
#include <cstdint>
#include <string>

#include "VuzadoDudi/External/Tokenizers/PreTrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerWrapper.h"
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

} // namespace

// The tokenizers are built before the first input, outside the time limit of one input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    whisper();
    assorted();
    return 0;
}

// Whatever the bytes: encoding never fails for the Whisper tokenizer and decoding gives the text back (with
// ill-formed UTF-8 repaired to U+FFFD); any id sequence decodes; the other families never crash.
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
    return 0;
}
