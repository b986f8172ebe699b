#pragma once

// The word-piece model: ideographs are set apart, the text is cut into words at white space and punctuation
// (optionally lower-cased and without accents), and every word is covered by the longest vocabulary entries
// from left to right, each entry after the first marked with "##". A word that cannot be covered, or that is
// longer than the limit, becomes "[UNK]".

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "VuzadoDudi/External/Tokenizers/BPETokenizer.h"
#include "VuzadoDudi/External/Tokenizers/Tokenizer.h"

namespace VuzadoDudi {

// Token texts to ids, where canonically equivalent texts (a precomposed "é" and "e" + U+0301) are one entry.
class WordPieceVocabulary {
public:
    // Sets the id of the text, replacing the id of an equivalent text.
    void assign(std::string_view text, int id);
    std::optional<int> id(std::string_view text) const;
    bool contains(std::string_view text) const { return id(text).has_value(); }
    std::size_t size() const { return ids_.size(); }
    // Each id with the text that last set it.
    std::unordered_map<int, std::string> inverted() const;

private:
    struct Entry {
        std::string text;
        int id;
    };
    StringMap<Entry> ids_; // keyed by the canonical decomposition
};

// Words: split at white space (line breaks included), punctuation set apart.
class BasicTokenizer {
public:
    explicit BasicTokenizer(bool doLowerCase);

    std::vector<std::string> tokenize(const std::string& text) const;

    bool doLowerCase() const { return doLowerCase_; }
    // Texts that stay one word whatever the case setting.
    static const std::vector<std::string>& neverSplit();

private:
    bool doLowerCase_;
};

// Sub-words of one word, longest match first.
class WordpieceTokenizer {
public:
    static constexpr std::size_t maxInputCharsPerWord = 100;
    static constexpr std::string_view unkToken = "[UNK]";

    explicit WordpieceTokenizer(const WordPieceVocabulary& vocab)
        : vocab_(vocab) {}

    // Counted in characters (extended grapheme clusters): a word longer than the limit is "[UNK]".
    std::vector<std::string> tokenize(const std::string& word) const;
    void tokenize(std::string_view word, std::vector<std::string>& tokens) const;

private:
    const WordPieceVocabulary& vocab_;
};

class BertTokenizer : public TokenizingModel {
public:
    // tokenizerConfig: tokenizer_config.json; tokenizerData: tokenizer.json. TokenizerError (missingVocab) when
    // the model has no vocabulary object. The added tokens of both override the vocabulary's own ids.
    BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens& addedTokens);
    BertTokenizer(const std::vector<std::pair<std::string, int>>& vocab, bool tokenizeChineseChars,
                  std::optional<std::string> bosToken, std::optional<std::string> eosToken, bool fuseUnknownTokens,
                  bool doLowerCase);
    BertTokenizer(const BertTokenizer&) = delete;
    BertTokenizer& operator=(const BertTokenizer&) = delete;

    static constexpr int maxLen = 512;

    std::vector<std::string> tokenize(const std::string& text) const override;
    void tokenize(const std::string& text, std::vector<std::string>& tokens) const override;
    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return std::string(WordpieceTokenizer::unkToken); }
    std::optional<int> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

    bool tokenizeChineseChars() const { return tokenizeChineseChars_; }
    const BasicTokenizer& basicTokenizer() const { return basicTokenizer_; }
    std::size_t vocabCount() const { return vocab_.size(); }

private:
    BertTokenizer(WordPieceVocabulary vocab, bool tokenizeChineseChars, std::optional<std::string> bosToken,
                  std::optional<std::string> eosToken, bool fuseUnknownTokens, bool doLowerCase);

    WordPieceVocabulary vocab_;
    std::unordered_map<int, std::string> idsToTokens_;
    BasicTokenizer basicTokenizer_;
    WordpieceTokenizer wordpieceTokenizer_;
    bool tokenizeChineseChars_;
    std::optional<std::string> bosToken_;
    std::optional<int> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int> eosTokenId_;
    std::optional<int> unknownTokenId_;
    bool fuseUnknownTokens_;
};

} // namespace VuzadoDudi
