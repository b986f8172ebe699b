#pragma once

#include <filesystem>
#include <optional>

#include "VuzadoDudi/External/Tokenizers/TokenizerWrapper.h"
#include "ZodozorEro/Core/WhisperTokenizer.h"

namespace ZodozorEro {

// A loaded tokenizer with its Whisper control tokens looked up once. Immutable after construction, so one
// wrapper may serve several threads.
class WhisperTokenizerWrapper : public WhisperTokenizer {
public:
    // Looks each control token up by its text; a vocabulary without one gets the standard id. Language tokens
    // count only above `specialTokenBegin`.
    explicit WhisperTokenizerWrapper(VuzadoDudi::TokenizerWrapper tokenizer,
                                     std::optional<std::filesystem::path> tokenizerFolder = std::nullopt);

    const VuzadoDudi::TokenizerWrapper& tokenizer() const { return tokenizer_; }
    const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }

    std::vector<int> encode(const std::string& text) const override;
    std::string decode(const std::vector<int>& tokens) const override;
    // None for a text the vocabulary lacks, also when the tokenizer has an unknown token.
    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;
    const SpecialTokens& specialTokens() const override { return specialTokens_; }
    const std::unordered_set<int>& allLanguageTokens() const override { return allLanguageTokens_; }

    // Texts in languages written without spaces between words (Chinese, Japanese, Thai, Lao, Burmese,
    // Cantonese) are cut at every complete character; others at spaces and lone punctuation. The language is
    // recognised from the text of the ordinary tokens. The words' texts and ids add up to the whole.
    WordTokens splitToWordTokens(const std::vector<int>& tokenIds) const override;

private:
    // The ids cut at every complete character: a group closes once it decodes without a replacement
    // character, or where the full text itself holds one and cutting there leaves the text unchanged.
    WordTokens splitTokensOnUnicode(const std::vector<int>& tokenIds) const;
    // Characters joined into words: a word begins at a control token, a leading space or a lone punctuation
    // character.
    WordTokens splitTokensOnSpaces(const std::vector<int>& tokenIds) const;

    VuzadoDudi::TokenizerWrapper tokenizer_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    SpecialTokens specialTokens_;
    std::unordered_set<int> allLanguageTokens_;
};

} // namespace ZodozorEro
