#include "VuzadoDudi/External/Tokenizers/BPETokenizer.h"

#include <cstdio>
#include <cstring>
#include <limits>

#include <unicode/utf8.h>

#include "VuzadoDudi/External/Tokenizers/ByteEncoder.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

namespace {

// A pair's key: the length of the left symbol, then both symbols, so no two pairs share a key.
void pairKey(std::string& key, std::string_view a, std::string_view b) {
    key.clear();
    const auto length = static_cast<std::uint32_t>(a.size());
    key.append(reinterpret_cast<const char*>(&length), sizeof length);
    key.append(a);
    key.append(b);
}

// Each code point of the text is a character of its own when all lie in [U+0020, U+0300): no combining marks,
// no CR LF, nothing the cluster rules join. Byte-level text always is.
bool codePointsAreCharacters(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0xCC) {
            return false;
        }
    }
    return true;
}

} // namespace

struct BPETokenizer::Cache {
    static constexpr std::size_t capacity = 1 << 16;
    std::mutex mutex;
    StringMap<std::vector<std::string>> entries;
};

BPETokenizer::BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens& addedTokens)
    : cache_(std::make_unique<Cache>()) {
    const Config& model = tokenizerData["model"];
    const auto merges = mergesFromConfig(&model["merges"]);
    if (!merges) {
        throw TokenizerError::invalidDefinition("BPETokenizer requires merges");
    }
    const Config::Dictionary* vocab = model["vocab"].dictionaryValue();
    if (vocab == nullptr) {
        throw TokenizerError::missingVocab();
    }

    std::string key;
    for (std::size_t i = 0; i < merges->size(); ++i) {
        const auto& merge = (*merges)[i];
        if (merge.size() < 2) {
            continue; // a merge of fewer than two symbols merges nothing
        }
        pairKey(key, merge[0], merge[1]);
        bpeRanks_.insert_or_assign(key, static_cast<int>(i));
    }

    tokensToIds_.reserve(vocab->size() + addedTokens.size());
    for (const auto& [token, value] : *vocab) {
        const auto id = value.integer();
        if (id && *id >= std::numeric_limits<int>::min() && *id <= std::numeric_limits<int>::max()) {
            tokensToIds_.insert_or_assign(token.string(), static_cast<int>(*id));
        }
    }
    for (const auto& [token, id] : addedTokens) {
        tokensToIds_.insert_or_assign(token, id);
    }
    for (const auto& [token, id] : tokensToIds_) {
        idsToTokens_[id] = token;
    }

    unknownToken_ = TokenizerModel::unknownToken(tokenizerConfig);
    if (unknownToken_) {
        unknownTokenId_ = valueIn(tokensToIds_, *unknownToken_);
    }
    eosToken_ = addedTokenAsString(&tokenizerConfig["eosToken"]);
    if (eosToken_) {
        eosTokenId_ = valueIn(tokensToIds_, *eosToken_);
    }
    bosToken_ = addedTokenAsString(&tokenizerConfig["bosToken"]);
    if (bosToken_) {
        bosTokenId_ = valueIn(tokensToIds_, *bosToken_);
    }
    fuseUnknownTokens_ = tokenizerConfig["fuseUnk"].boolean().value_or(false);
}

BPETokenizer::~BPETokenizer() = default;

std::optional<std::vector<std::vector<std::string>>> BPETokenizer::mergesFromConfig(const Config* config) {
    if (config == nullptr) {
        return std::nullopt;
    }
    const Config::Array* elements = config->arrayValue();
    if (elements == nullptr) {
        return std::nullopt;
    }
    std::vector<std::vector<std::string>> merges;
    merges.reserve(elements->size());
    for (const Config& element : *elements) {
        if (auto text = element.string()) {
            std::vector<std::string> symbols;
            std::size_t start = 0;
            for (std::size_t at = text->find(' '); at != std::string::npos; at = text->find(' ', start)) {
                symbols.push_back(text->substr(start, at - start));
                start = at + 1;
            }
            symbols.push_back(text->substr(start));
            merges.push_back(std::move(symbols));
        } else if (auto texts = element.get()) {
            merges.push_back(std::move(*texts));
        }
    }
    return merges;
}

std::optional<int> BPETokenizer::rank(std::string_view a, std::string_view b) const {
    thread_local std::string key;
    pairKey(key, a, b);
    return valueIn(bpeRanks_, key);
}

std::optional<int> BPETokenizer::rank(const BytePair& pair) const { return rank(pair.a, pair.b); }

std::vector<std::string_view> BPETokenizer::symbols(std::string_view token) const {
    std::vector<std::string_view> word;
    if (codePointsAreCharacters(token)) {
        const auto* s = reinterpret_cast<const uint8_t*>(token.data());
        const auto length = static_cast<int32_t>(token.size());
        int32_t i = 0;
        while (i < length) {
            const int32_t begin = i;
            U8_FWD_1(s, i, length);
            word.push_back(token.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(i - begin)));
        }
    } else {
        word = Unicode::characters(token);
    }
    if (word.size() <= 1) {
        return word;
    }

    // Merge the best-ranked adjacent pair, everywhere it occurs left to right, until no pair is a merge.
    std::vector<int> ranks(word.size());
    for (;;) {
        int best = std::numeric_limits<int>::max();
        std::size_t bestAt = word.size();
        for (std::size_t i = 0; i + 1 < word.size(); ++i) {
            if (const auto r = rank(word[i], word[i + 1]); r && *r < best) {
                best = *r;
                bestAt = i;
            }
        }
        if (bestAt == word.size()) {
            break;
        }
        const std::string_view first = word[bestAt];
        const std::string_view second = word[bestAt + 1];
        std::vector<std::string_view> merged;
        merged.reserve(word.size());
        for (std::size_t i = 0; i < word.size();) {
            if (i + 1 < word.size() && word[i] == first && word[i + 1] == second) {
                // Adjacent symbols are adjacent in the token, so the merge is the span covering both.
                merged.emplace_back(word[i].data(), word[i].size() + word[i + 1].size());
                i += 2;
            } else {
                merged.push_back(word[i]);
                i += 1;
            }
        }
        word = std::move(merged);
        if (word.size() == 1) {
            break;
        }
    }
    return word;
}

std::string BPETokenizer::bpe(const std::string& token) const {
    std::string joined;
    for (const auto symbol : symbols(token)) {
        if (!joined.empty()) {
            joined += ' ';
        }
        joined += symbol;
    }
    return joined;
}

std::vector<std::string> BPETokenizer::hexaEncode(std::string_view text) {
    std::vector<std::string> tokens;
    tokens.reserve(text.size());
    for (const char c : text) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "<0x%02X>", static_cast<unsigned>(static_cast<unsigned char>(c)));
        tokens.emplace_back(buffer);
    }
    return tokens;
}

std::vector<std::string> BPETokenizer::tokenizeUncached(const std::string& text) const {
    std::vector<std::string> tokens;
    // The symbols themselves, not their blank-joined text cut at blanks: a symbol holding a blank stays whole.
    for (const auto symbol : symbols(text)) {
        const auto id = valueIn(tokensToIds_, symbol);
        if (id && (!unknownTokenId_ || *id != *unknownTokenId_)) {
            tokens.emplace_back(symbol);
        } else {
            for (auto& byte : hexaEncode(symbol)) {
                tokens.push_back(std::move(byte));
            }
        }
    }
    return tokens;
}

std::vector<std::string> BPETokenizer::tokenize(const std::string& text) const {
    std::vector<std::string> tokens;
    tokenize(text, tokens);
    return tokens;
}

void BPETokenizer::tokenize(const std::string& text, std::vector<std::string>& tokens) const {
    if (text.empty()) {
        return;
    }
    {
        std::lock_guard guard(cache_->mutex);
        if (auto found = cache_->entries.find(text); found != cache_->entries.end()) {
            tokens.insert(tokens.end(), found->second.begin(), found->second.end());
            return;
        }
    }
    std::vector<std::string> computed = tokenizeUncached(text);
    tokens.insert(tokens.end(), computed.begin(), computed.end());
    std::lock_guard guard(cache_->mutex);
    if (cache_->entries.size() >= Cache::capacity) {
        cache_->entries.clear();
    }
    cache_->entries.emplace(text, std::move(computed));
}

std::optional<int> BPETokenizer::convertTokenToId(const std::string& token) const {
    if (auto id = valueIn(tokensToIds_, token)) {
        return id;
    }
    return unknownTokenId_;
}

std::optional<std::string> BPETokenizer::convertIdToToken(int id) const {
    auto found = idsToTokens_.find(id);
    if (found == idsToTokens_.end()) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace VuzadoDudi
