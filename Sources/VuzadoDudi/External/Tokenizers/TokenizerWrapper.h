#pragma once

// The one value through which code outside the tokenizer layer uses a tokenizer, and the factory that builds
// one from configuration files already read (reading them from a folder or the hub is the hub layer's work:
// VuzadoDudi/External/Hub/PretrainedTokenizer.h).

#include <memory>

#include "VuzadoDudi/External/Tokenizers/Tokenizer.h"

namespace VuzadoDudi {

// Forwards every operation to the tokenizer it holds; copies share that tokenizer.
struct TokenizerWrapper {
    std::shared_ptr<const Tokenizer> impl;

    std::vector<std::string> tokenize(const std::string& text) const { return impl->tokenize(text); }
    std::vector<int> encode(const std::string& text) const { return impl->encode(text); }
    std::vector<int> encode(const std::string& text, bool addSpecialTokens) const {
        return impl->encode(text, addSpecialTokens);
    }
    std::string decode(const std::vector<int>& tokens) const { return impl->decode(tokens); }
    std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const {
        return impl->decode(tokens, skipSpecialTokens);
    }
    std::optional<int> convertTokenToId(const std::string& token) const { return impl->convertTokenToId(token); }
    std::vector<std::optional<int>> convertTokensToIds(const std::vector<std::string>& tokens) const {
        return impl->convertTokensToIds(tokens);
    }
    std::optional<std::string> convertIdToToken(int id) const { return impl->convertIdToToken(id); }
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const {
        return impl->convertIdsToTokens(ids);
    }
    std::optional<std::string> bosToken() const { return impl->bosToken(); }
    std::optional<int> bosTokenId() const { return impl->bosTokenId(); }
    std::optional<std::string> eosToken() const { return impl->eosToken(); }
    std::optional<int> eosTokenId() const { return impl->eosTokenId(); }
    std::optional<std::string> unknownToken() const { return impl->unknownToken(); }
    std::optional<int> unknownTokenId() const { return impl->unknownTokenId(); }
};

namespace AutoTokenizerWrapper {
// Builds the tokenizer of already-read configuration files (tokenizer_config.json, tokenizer.json).
TokenizerWrapper from(const Config& tokenizerConfig, const Config& tokenizerData, bool strict = false);
} // namespace AutoTokenizerWrapper

} // namespace VuzadoDudi
