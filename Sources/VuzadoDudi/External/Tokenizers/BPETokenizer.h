#pragma once

// The byte-pair-encoding model: a piece is split into characters, adjacent symbols are merged in the order of
// a ranked merge list, and every resulting symbol the vocabulary lacks becomes one byte token per UTF-8 byte.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "VuzadoDudi/External/Tokenizers/Tokenizer.h"

namespace VuzadoDudi {

// A merge rule, or an adjacent pair of symbols.
struct BytePair {
    std::string a;
    std::string b;
    bool operator==(const BytePair&) const = default;
};

struct TransparentStringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};
template <class V>
using StringMap = std::unordered_map<std::string, V, TransparentStringHash, std::equal_to<>>;

// The value under `key`; nothing when the map has none.
template <class V>
std::optional<V> valueIn(const StringMap<V>& map, std::string_view key) {
    const auto found = map.find(key);
    if (found == map.end()) {
        return std::nullopt;
    }
    return found->second;
}

class BPETokenizer : public TokenizingModel {
public:
    // tokenizerConfig: tokenizer_config.json; tokenizerData: tokenizer.json. TokenizerError when the model
    // has no merge list or no vocabulary object.
    BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens& addedTokens);
    ~BPETokenizer() override;

    std::vector<std::string> tokenize(const std::string& text) const override;
    void tokenize(const std::string& text, std::vector<std::string>& tokens) const override;
    void encode(const std::string& text, std::vector<int>& ids) const override;
    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;

    std::optional<std::string> bosToken() const override { return bosToken_; }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<std::string> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    std::optional<std::string> unknownToken() const override { return unknownToken_; }
    std::optional<int> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

    std::size_t vocabCount() const { return tokensToIds_.size(); }

    // The merged symbols of one piece, joined by single blanks.
    std::string bpe(const std::string& token) const;
    // One "<0xHH>" token per UTF-8 byte of the text.
    static std::vector<std::string> hexaEncode(std::string_view text);
    // The merge list: legacy "a b" strings split at every blank, or [a, b] arrays; nothing when no array.
    static std::optional<std::vector<std::vector<std::string>>> mergesFromConfig(const Config* config);
    // The rank of a merge, nothing when the pair is no merge.
    std::optional<int> rank(const BytePair& pair) const;

private:
    struct Symbol;
    // The merged symbols of one piece, linked from the first; valid until the thread's next call.
    const std::vector<Symbol>& merged(std::string_view token) const;
    // The token id of a symbol written as itself; nothing for one written as its bytes.
    std::optional<int> tokenId(int id, std::string_view symbol) const;
    struct Span;
    // Calls emit(symbol text, symbol id) for each merged symbol of a piece, in order.
    template <class Emit>
    void forEachSymbol(const std::string& text, Emit&& emit) const;
    // The id of a symbol of the merge list, -1 for text no merge names.
    int symbolId(std::string_view symbol) const;
    // The rank of the merge of the symbols a and b; the largest int when they make none.
    int mergeRank(int a, int b) const;
    // The slot that holds the pair, or the free slot where it belongs.
    std::size_t slotOf(std::uint64_t pair) const;

    // Merges are looked up by integers: every symbol a merge names or makes gets an id, and a merge is found
    // by the ids of its pair. Merging is mostly look-ups that miss the first-level cache, so the tables are
    // packed to stay within the second level: a look-up yields a rank alone, and what a merge makes is read
    // by rank only when it is applied.
    StringMap<int> symbolIds_;
    std::vector<int> codePointSymbols_; // the id of each one-code-point symbol below U+0300, -1 for none
    // Open addressing with linear probing, at most three quarters full: eight slots share a cache line, so
    // a look-up mostly touches one. A slot holds the pair's ids in its high bits and the rank in its low
    // ones.
    std::vector<std::uint64_t> merges_;
    // One bit per hash of a pair the table holds, sixteen bits per slot: most pairs looked up in a piece
    // are no merge, and this answers them from a quarter of the table's size, which stays in the cache.
    std::vector<std::uint64_t> mergeFilter_;
    int filterShift_ = 64; // 64 minus the base-two logarithm of the filter's bit count
    // Merges of two characters, by the ids of both (characters have the lowest ids): the first merges of
    // every piece, found without hashing. Empty when the merge list names more characters than a
    // byte-level alphabet holds.
    static constexpr std::size_t maxCharacterCount = 320;
    int characterCount_ = 0;
    std::vector<int> characterMerges_; // the rank, the largest int for a pair that is no merge
    std::vector<int> mergedSymbols_;   // by rank: the id of the symbol the merge makes
    int mergeShift_ = 64;              // 64 minus the base-two logarithm of the table size
    StringMap<int> tokensToIds_;
    std::unordered_map<int, std::string> idsToTokens_;
    std::optional<std::string> bosToken_;
    std::optional<int> bosTokenId_;
    std::optional<std::string> eosToken_;
    std::optional<int> eosTokenId_;
    std::optional<std::string> unknownToken_;
    std::optional<int> unknownTokenId_;
    bool fuseUnknownTokens_ = false;

    // By symbol id: tokenId of the symbol, -1 for none.
    std::vector<int> symbolTokenIds_;
    // By byte: the id of its "<0xHH>" token.
    std::array<std::optional<int>, 256> byteTokenIds_;

    // The words of a language recur, and a look-up costs less than a merge: the tokens of a piece met a
    // second time are kept. Pieces met once are only noted by their hash, so text whose pieces seldom repeat
    // does not pay for filling the cache. The cache never changes what tokenize returns.
    struct Cache;
    std::unique_ptr<Cache> cache_;
};

} // namespace VuzadoDudi

template <>
struct std::hash<VuzadoDudi::BytePair> {
    std::size_t operator()(const VuzadoDudi::BytePair& pair) const noexcept {
        return std::hash<std::string>{}(pair.a) * 31 + std::hash<std::string>{}(pair.b);
    }
};
