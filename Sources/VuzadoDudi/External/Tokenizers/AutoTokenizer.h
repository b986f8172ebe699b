#pragma once

// Turns the "tokenizer_class" of tokenizer_config.json into code: which tokenizer to construct, and which
// vocabulary model it holds. "Fast" is removed from the class name first.

#include <functional>
#include <memory>
#include <string>

#include "VuzadoDudi/External/Tokenizers/PreTrainedTokenizer.h"

namespace VuzadoDudi {

namespace AutoTokenizer {
using TokenizerClass =
    std::function<std::unique_ptr<PreTrainedTokenizer>(const Config& tokenizerConfig, const Config& tokenizerData, bool strict)>;
// The constructor of the tokenizer class the configuration names; the general tokenizer when it names none
// or one without a class of its own.
TokenizerClass tokenizerClass(const Config& tokenizerConfig);
} // namespace AutoTokenizer

namespace TokenizerModel {
// Builds the vocabulary model the configuration's class names. TokenizerError: no class named
// (missingTokenizerClassInConfig); an unknown class in strict mode (unsupportedTokenizer); the model's own
// refusals. An unknown class otherwise falls back to BPE with a printed warning.
std::unique_ptr<TokenizingModel> from(const Config& tokenizerConfig, const Config& tokenizerData,
                                      const AddedTokens& addedTokens, bool strict);
} // namespace TokenizerModel

} // namespace VuzadoDudi
