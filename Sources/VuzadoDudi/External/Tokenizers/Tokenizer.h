#pragma once

// The contracts every tokenizer meets: text to ids and back, and the vocabulary models beneath.

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "VuzadoDudi/Config.h"

namespace VuzadoDudi {

class Tokenizer {
public:
    virtual ~Tokenizer() = default;

    virtual std::vector<std::string> tokenize(const std::string& text) const = 0;
    virtual std::vector<int> encode(const std::string& text) const { return encode(text, true); }
    virtual std::vector<int> encode(const std::string& text, bool addSpecialTokens) const = 0;
    std::vector<int> operator()(const std::string& text, bool addSpecialTokens = true) const {
        return encode(text, addSpecialTokens);
    }
    std::string decode(const std::vector<int>& tokens) const { return decode(tokens, false); }
    virtual std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const = 0;

    virtual std::optional<int> convertTokenToId(const std::string& token) const = 0;
    std::vector<std::optional<int>> convertTokensToIds(const std::vector<std::string>& tokens) const;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int> unknownTokenId() const = 0;
};

// A vocabulary model: one pre-tokenized piece to sub-word tokens, and tokens to ids.
class TokenizingModel {
public:
    virtual ~TokenizingModel() = default;

    virtual std::vector<std::string> tokenize(const std::string& text) const = 0;
    std::vector<std::string> operator()(const std::string& text) const { return tokenize(text); }
    // Appends the tokens of `text` to `tokens`: what tokenize gives, without a list of its own.
    virtual void tokenize(const std::string& text, std::vector<std::string>& tokens) const;
    // Appends the ids of the tokens of `text` to `ids`. TokenizerError (missingTokenId) when a token has no
    // id and the vocabulary no unknown token.
    virtual void encode(const std::string& text, std::vector<int>& ids) const;
    // The id of a token; TokenizerError (missingTokenId) when it has none.
    int requiredTokenId(const std::string& token) const;
    virtual std::optional<int> convertTokenToId(const std::string& token) const = 0;
    std::vector<std::optional<int>> convertTokensToIds(const std::vector<std::string>& tokens) const;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int> unknownTokenId() const = 0;
    virtual bool fuseUnknownTokens() const = 0;
};

// Added tokens: text -> id.
using AddedTokens = std::unordered_map<std::string, int>;

// The text of an added-token value: a string, or an object with a string "content".
std::optional<std::string> addedTokenAsString(const Config* config);

namespace TokenizerModel {
// "unk_token" of the tokenizer configuration: its "content" when it is an object, else itself when a string.
std::optional<std::string> unknownToken(const Config& tokenizerConfig);
} // namespace TokenizerModel

} // namespace VuzadoDudi
