#pragma once

// The unigram (sentence-piece) model: every vocabulary piece found at every character of the text, plus an
// unknown candidate where no one-character piece exists, and the segmentation with the highest total score.

#include <optional>
#include <string>
#include <vector>

#include "VuzadoDudi/External/Tokenizers/BPETokenizer.h"
#include "VuzadoDudi/External/Tokenizers/Tokenizer.h"
#include "VuzadoDudi/External/Tokenizers/Trie.h"

namespace VuzadoDudi {

class UnigramTokenizer : public TokenizingModel {
public:
    struct SentencePieceToken {
        std::string token;
        float score;
        bool operator==(const SentencePieceToken&) const = default;
    };

    // tokenizerConfig: tokenizer_config.json; tokenizerData: tokenizer.json; the added tokens are not used.
    // TokenizerError: missingVocab when the model has no vocabulary list; malformedVocab for an entry that is
    // not [text, ..., number], or an "unk_id" that is no integer or no position of the list.
    UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens& addedTokens);

    std::vector<std::string> tokenize(const std::string& text) const override;
    void tokenize(const std::string& text, std::vector<std::string>& tokens) const override;
    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;

    std::optional<std::string> bosToken() const override { return std::string(" "); }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return unknownPiece_.token; }
    std::optional<int> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return true; }

    float unknownTokenScore() const { return unknownPiece_.score; }
    float minScore() const { return minScore_; }
    const std::vector<SentencePieceToken>& vocab() const { return vocab_; }

private:
    std::vector<SentencePieceToken> vocab_;
    SentencePieceToken unknownPiece_;
    std::optional<int> unknownTokenId_;
    float minScore_ = 999;
    // Pieces compare by their exact code units (the UTF-8 bytes of well-formed text compare as its UTF-16
    // units do), in the id table and in the trie alike, so every piece the trie finds has an id. A text
    // canonically equivalent to a piece but written differently is not that piece.
    StringMap<int> tokensToIds_;
    std::optional<int> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int> eosTokenId_;
    Trie<std::string, TransparentStringHash, std::equal_to<>> trie_; // pieces as sequences of characters
};

// The unigram model under the class name of its family.
class T5Tokenizer : public UnigramTokenizer {
public:
    using UnigramTokenizer::UnigramTokenizer;
};

} // namespace VuzadoDudi
