#include "VuzadoDudi/External/Tokenizers/TokenizerWrapper.h"

#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"

namespace VuzadoDudi {

TokenizerWrapper AutoTokenizerWrapper::from(const Config& tokenizerConfig, const Config& tokenizerData, bool strict) {
    const auto construct = AutoTokenizer::tokenizerClass(tokenizerConfig);
    return TokenizerWrapper{construct(tokenizerConfig, tokenizerData, strict)};
}

} // namespace VuzadoDudi
