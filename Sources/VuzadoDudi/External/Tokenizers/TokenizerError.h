#pragma once

#include <string>

#include "System/Log/ErrorDescription.h"

namespace VuzadoDudi {

// What can go wrong when a tokenizer is chosen or built.
class TokenizerError : public System::Log::DescribedError {
public:
    enum class Kind {
        unsupportedTokenizer,
        tooLong,
        mismatchedConfig,
        missingConfig,
        missingTokenizerClassInConfig,
        missingVocab,
        malformedVocab,
        // A component of tokenizer.json names an unsupported type or lacks a key it requires; the description is
        // the component's fixed message.
        invalidDefinition,
        // A token the model produced has no id, and the vocabulary has no unknown token to stand for it.
        missingTokenId,
    };

    static TokenizerError unsupportedTokenizer(const std::string& name) {
        return {Kind::unsupportedTokenizer, "The tokenizer type '" + name + "' is not supported."};
    }
    static TokenizerError tooLong(const std::string& text) { return {Kind::tooLong, "Input is too long: " + text}; }
    static TokenizerError mismatchedConfig(const std::string& text) {
        return {Kind::mismatchedConfig, "Tokenizer configuration mismatch: " + text};
    }
    static TokenizerError missingConfig() { return {Kind::missingConfig, "Tokenizer configuration is missing."}; }
    static TokenizerError missingTokenizerClassInConfig() {
        return {Kind::missingTokenizerClassInConfig, "The tokenizer class is not specified in the configuration."};
    }
    static TokenizerError missingVocab() {
        return {Kind::missingVocab, "Vocabulary file is missing from the tokenizer configuration."};
    }
    static TokenizerError malformedVocab() {
        return {Kind::malformedVocab, "The vocabulary file is malformed or corrupted."};
    }
    static TokenizerError invalidDefinition(const std::string& message) { return {Kind::invalidDefinition, message}; }
    static TokenizerError missingTokenId(const std::string& token) {
        return {Kind::missingTokenId, "The token '" + token + "' is not in the vocabulary, which has no unknown token."};
    }

    Kind kind() const { return kind_; }

private:
    TokenizerError(Kind kind, std::string description)
        : DescribedError(std::move(description))
        , kind_(kind) {}
    Kind kind_;
};

} // namespace VuzadoDudi
