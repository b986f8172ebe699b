#pragma once

// The tokenizer of the "LlamaTokenizer" class. Unless the configuration says "legacy": false it is the
// general tokenizer. Otherwise the definition's normalizer goes and a Metaspace pre-tokenizer takes the
// pre-tokenizer's place, the text starts with the metaspace mark, and the mark is dropped again when a
// special token follows it. Either way a definition without a template post-processor gets one from the
// configuration's beginning- and end-of-sequence settings.

#include <optional>
#include <string>
#include <vector>

#include "VuzadoDudi/External/Tokenizers/PreTrainedTokenizer.h"

namespace VuzadoDudi {

class LlamaPreTrainedTokenizer : public PreTrainedTokenizer {
public:
    // TokenizerError (mismatchedConfig) when a beginning or end token is to be added but not named, and the
    // errors of the general tokenizer.
    LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);

    std::vector<std::string> tokenize(const std::string& text) const override;
    using PreTrainedTokenizer::encode;
    std::vector<int> encode(const std::string& text, bool addSpecialTokens) const override {
        return encodeTokens(tokenize(text), addSpecialTokens);
    }

    bool isLegacy() const { return isLegacy_; }

    static constexpr const char* metaspace = "\u2581";

private:
    bool isLegacy_;
};

// A template post-processor section built from "add_bos_token"/"bos_token" and "add_eos_token"/"eos_token",
// or nothing when `processorConfig` already is a template. TokenizerError (mismatchedConfig) when a token is
// to be added but not named; the refusals of the post-processor factory for `processorConfig`.
std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig, const Config* processorConfig);

} // namespace VuzadoDudi
