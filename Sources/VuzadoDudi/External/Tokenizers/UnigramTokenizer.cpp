#include "VuzadoDudi/External/Tokenizers/UnigramTokenizer.h"

#include <algorithm>
#include <string_view>

#include "VuzadoDudi/External/Tokenizers/TokenLattice.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

namespace {

UnigramTokenizer::SentencePieceToken pieceFrom(const Config& element) {
    const Config::Array* entries = element.arrayValue();
    if (entries == nullptr || entries->empty()) {
        throw TokenizerError::malformedVocab();
    }
    auto token = entries->front().string();
    const Config& last = entries->back();
    std::optional<float> score = last.floating();
    if (const auto integer = last.integer()) {
        score = static_cast<float>(*integer);
    }
    if (!token || !score) {
        throw TokenizerError::malformedVocab();
    }
    return {std::move(*token), *score};
}

} // namespace

UnigramTokenizer::UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens&) {
    const Config& model = tokenizerData["model"];
    const Config::Array* pieces = model["vocab"].arrayValue();
    if (pieces == nullptr) {
        throw TokenizerError::missingVocab();
    }
    vocab_.reserve(pieces->size());
    for (const Config& element : *pieces) {
        vocab_.push_back(pieceFrom(element));
        minScore_ = std::min(minScore_, vocab_.back().score);
    }

    // An unknown piece outside the list would leave the unknown token without text and its id without a
    // piece: such a definition is refused.
    const auto unknownId = model["unkId"].integer();
    if (!unknownId || *unknownId < 0 || static_cast<std::uint64_t>(*unknownId) >= vocab_.size()) {
        throw TokenizerError::malformedVocab();
    }
    unknownTokenId_ = static_cast<int>(*unknownId);
    unknownPiece_ = {vocab_[static_cast<std::size_t>(*unknownId)].token, minScore_ - 10};

    // A piece listed twice keeps its first id.
    tokensToIds_.reserve(vocab_.size());
    for (std::size_t id = 0; id < vocab_.size(); ++id) {
        tokensToIds_.emplace(vocab_[id].token, static_cast<int>(id));
    }
    bosTokenId_ = valueIn(tokensToIds_, " ");
    eosToken_ = tokenizerConfig["eosToken"].string();
    if (eosToken_) {
        eosTokenId_ = valueIn(tokensToIds_, *eosToken_);
    }
    for (const auto& piece : vocab_) {
        trie_.insert(Unicode::characters(piece.token));
    }
}

std::vector<std::string> UnigramTokenizer::tokenize(const std::string& text) const {
    std::vector<std::string> tokens;
    tokenize(text, tokens);
    return tokens;
}

void UnigramTokenizer::tokenize(const std::string& text, std::vector<std::string>& tokens) const {
    if (text.empty()) {
        return;
    }
    TokenLattice lattice(text, bosTokenId_.value_or(0), eosTokenId_.value_or(0));
    const auto characters = Unicode::characters(text);
    const std::span<const std::string_view> all(characters);
    for (std::size_t position = 0; position < characters.size(); ++position) {
        bool hasSingleCharacter = false;
        auto matches = trie_.commonPrefixSearch(all.subspan(position));
        while (const auto match = matches.next()) {
            const char* begin = match->front().data();
            const char* end = match->back().data() + match->back().size();
            const auto id = valueIn(tokensToIds_, std::string_view(begin, static_cast<std::size_t>(end - begin)));
            if (!id) {
                continue; // cannot happen: the trie holds exactly the pieces of the table
            }
            lattice.insert(position, match->size(), vocab_[static_cast<std::size_t>(*id)].score, *id);
            hasSingleCharacter = hasSingleCharacter || match->size() == 1;
        }
        if (!hasSingleCharacter) {
            lattice.insert(position, 1, unknownTokenScore(), unknownTokenId_.value_or(0));
        }
    }
    for (auto& token : lattice.tokens()) {
        tokens.push_back(std::move(token));
    }
}

std::optional<int> UnigramTokenizer::convertTokenToId(const std::string& token) const {
    if (auto id = valueIn(tokensToIds_, token)) {
        return id;
    }
    return unknownTokenId_;
}

std::optional<std::string> UnigramTokenizer::convertIdToToken(int id) const {
    if (id < 0 || static_cast<std::size_t>(id) >= vocab_.size()) {
        return std::nullopt;
    }
    return vocab_[static_cast<std::size_t>(id)].token;
}

} // namespace VuzadoDudi
