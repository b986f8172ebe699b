#pragma once

// The general tokenizer assembled from a model's tokenizer.json (the tokenizer data) and
// tokenizer_config.json (the tokenizer configuration): added-token split, normalizer, pre-tokenizer,
// vocabulary model and post-processor on the way in; id look-up, decoder and clean-up on the way out.

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "VuzadoDudi/External/Tokenizers/AddedTokenMatcher.h"
#include "VuzadoDudi/External/Tokenizers/Decoder.h"
#include "VuzadoDudi/External/Tokenizers/Normalizer.h"
#include "VuzadoDudi/External/Tokenizers/PostProcessor.h"
#include "VuzadoDudi/External/Tokenizers/PreTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/Tokenizer.h"

namespace VuzadoDudi {

class PreTrainedTokenizer : public Tokenizer {
public:
    // TokenizerError when the definition names what cannot be built; `strict` refuses an unknown model class
    // instead of falling back to BPE.
    PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);

    std::vector<std::string> tokenize(const std::string& text) const override;
    using Tokenizer::encode;
    // TokenizerError (missingTokenId) when a token has no id and the vocabulary no unknown token.
    std::vector<int> encode(const std::string& text, bool addSpecialTokens) const override;
    using Tokenizer::decode;
    std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const override;

    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;
    std::optional<std::string> bosToken() const override { return model_->bosToken(); }
    std::optional<int> bosTokenId() const override { return model_->bosTokenId(); }
    std::optional<std::string> eosToken() const override { return model_->eosToken(); }
    std::optional<int> eosTokenId() const override { return model_->eosTokenId(); }
    std::optional<std::string> unknownToken() const override { return model_->unknownToken(); }
    std::optional<int> unknownTokenId() const override { return model_->unknownTokenId(); }
    bool fuseUnknownTokens() const { return model_->fuseUnknownTokens(); }

    std::vector<std::string> preTokenize(const std::string& text, PreTokenizerOptions options) const;
    std::string normalize(const std::string& text) const;
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens, bool addSpecialTokens) const;
    std::vector<std::string> decodeTokens(const std::vector<std::string>& tokens) const;
    std::string cleanUp(const std::string& text) const;
    std::vector<std::string> fuseUnknown(const std::vector<std::string>& tokens) const;

    const std::unordered_set<std::string>& addedTokens() const { return addedTokens_; }
    const std::unordered_map<std::string, int>& specialTokens() const { return specialTokens_; }
    const TokenizingModel& model() const { return *model_; }
    const Config& tokenizerConfig() const { return tokenizerConfig_; }

protected:
    // The ids of tokens made by tokenize. A subclass that changes tokenize encodes through this, since encode
    // otherwise has the model give ids without going through tokenize.
    std::vector<int> encodeTokens(std::vector<std::string> tokens, bool addSpecialTokens) const;

private:
    bool isAddedToken(std::string_view section) const;
    // The text cut at the added tokens.
    std::vector<AddedTokenMatcher::Piece> sections(const std::string& text) const;
    // Calls `use` with each piece the model gets of a section that is no added token.
    void forEachModelPiece(std::string_view section, std::size_t index,
                           const std::function<void(const std::string&)>& use) const;

    std::unique_ptr<TokenizingModel> model_;
    std::unordered_set<std::string> addedTokens_;
    std::unordered_map<std::string, int> specialTokens_;
    std::unordered_set<int> specialTokenIds_;
    std::unique_ptr<AddedTokenMatcher> addedTokensMatcher_;
    // NFD forms of the added tokens, for sections canonically equivalent to one.
    std::unordered_set<std::string> addedTokensDecomposed_;
    std::size_t longestAddedToken_ = 0;
    std::unique_ptr<PreTokenizer> preTokenizer_;
    std::unique_ptr<Normalizer> normalizer_;
    std::unique_ptr<PostProcessor> postProcessor_;
    std::unique_ptr<Decoder> decoder_;
    Config tokenizerConfig_;
    bool cleanUpTokenizationSpaces_ = true;
};

} // namespace VuzadoDudi
