#pragma once

#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "ZodozorEro/Core/ControlTokens.h"

namespace ZodozorEro {

// A token run cut into words: `words[i]` is the text of the ids `wordTokens[i]`.
struct WordTokens {
    std::vector<std::string> words;
    std::vector<std::vector<int>> wordTokens;

    bool operator==(const WordTokens&) const = default;
};

// The tokenizer as the Whisper pipeline uses it: text and ids both ways, the control tokens, and words.
class WhisperTokenizer {
public:
    virtual ~WhisperTokenizer() = default;

    virtual std::vector<int> encode(const std::string& text) const = 0;
    virtual std::string decode(const std::vector<int>& tokens) const = 0;
    virtual std::optional<int> convertTokenToId(const std::string& token) const = 0;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    virtual const SpecialTokens& specialTokens() const = 0;
    // The ids of every language token ("<|en|>", "<|ar|>", ...).
    virtual const std::unordered_set<int>& allLanguageTokens() const = 0;
    // The ids grouped into words, in order; control tokens are words of their own.
    virtual WordTokens splitToWordTokens(const std::vector<int>& tokenIds) const = 0;
};

} // namespace ZodozorEro
