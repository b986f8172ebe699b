#include "VuzadoDudi/External/Tokenizers/BPETokenizer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>

#include <unicode/utf8.h>

#include "VuzadoDudi/External/Tokenizers/ByteEncoder.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

namespace {

// A slot of the merge table: the ids of the pair, then the rank.
constexpr int rankBits = 20;
constexpr int symbolBits = 22;
constexpr std::size_t maxMergeCount = std::size_t{1} << rankBits;
// Every merge names at most three symbols, so no id reaches the all-ones value of an empty slot.
static_assert(3 * maxMergeCount < (std::size_t{1} << symbolBits) - 1);

// The key of an adjacent pair of symbol ids.
std::uint64_t pairKey(int a, int b) {
    return (static_cast<std::uint64_t>(a) << symbolBits) | static_cast<std::uint64_t>(b);
}

constexpr std::uint64_t emptySlot = ~std::uint64_t{0};

// Fibonacci hashing: the top bits of the product depend on every bit of both ids.
std::uint64_t pairHash(std::uint64_t pair) {
    return pair * 0x9E3779B97F4A7C15u;
}

constexpr int noMerge = std::numeric_limits<int>::max();

// Code points below this are characters of their own (see codePointsAreCharacters).
constexpr char32_t plainCodePointLimit = 0x300;

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

BPETokenizer::BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                           const AddedTokens& addedTokens)
    : cache_(std::make_unique<Cache>()) {
    const Config& model = tokenizerData["model"];
    const auto merges = mergesFromConfig(&model["merges"]);
    if (!merges) {
        throw TokenizerError::invalidDefinition("BPETokenizer requires merges");
    }
    if (merges->size() > maxMergeCount) {
        throw TokenizerError::invalidDefinition("BPETokenizer supports at most " +
                                                std::to_string(maxMergeCount) + " merges, the model has " +
                                                std::to_string(merges->size()));
    }
    const Config::Dictionary* vocab = model["vocab"].dictionaryValue();
    if (vocab == nullptr) {
        throw TokenizerError::missingVocab();
    }

    const auto intern = [this](const std::string& symbol) {
        return symbolIds_.try_emplace(symbol, static_cast<int>(symbolIds_.size())).first->second;
    };
    // Characters first, so that their ids are the lowest and pairs of them can be kept in a square table.
    for (const auto& merge : *merges) {
        for (std::size_t k = 0; k < 2 && merge.size() >= 2; ++k) {
            if (!merge[k].empty() && Unicode::characters(merge[k]).size() == 1) {
                intern(merge[k]);
            }
        }
    }
    characterCount_ = symbolIds_.size() <= maxCharacterCount ? static_cast<int>(symbolIds_.size()) : 0;
    characterMerges_.assign(static_cast<std::size_t>(characterCount_ * characterCount_), noMerge);
    std::size_t size = 2;
    while (3 * size < 4 * merges->size()) {
        size *= 2;
    }
    merges_.assign(size, emptySlot);
    mergeShift_ = 64 - std::countr_zero(size);
    const std::size_t filterBits = std::max<std::size_t>(64, 16 * size);
    mergeFilter_.assign(filterBits / 64, 0);
    filterShift_ = 64 - std::countr_zero(filterBits);
    mergedSymbols_.assign(merges->size(), -1);
    for (std::size_t i = 0; i < merges->size(); ++i) {
        const auto& merge = (*merges)[i];
        if (merge.size() < 2) {
            continue; // a merge of fewer than two symbols merges nothing
        }
        const int a = intern(merge[0]);
        const int b = intern(merge[1]);
        mergedSymbols_[i] = intern(merge[0] + merge[1]);
        // A pair listed again takes its later rank.
        if (a < characterCount_ && b < characterCount_) {
            characterMerges_[static_cast<std::size_t>(a * characterCount_ + b)] = static_cast<int>(i);
            continue;
        }
        const std::uint64_t key = pairKey(a, b);
        merges_[slotOf(key)] = (key << rankBits) | i;
        const std::uint64_t bit = pairHash(key) >> filterShift_;
        mergeFilter_[bit / 64] |= std::uint64_t{1} << (bit % 64);
    }
    codePointSymbols_.assign(plainCodePointLimit, -1);
    for (const auto& [symbol, id] : symbolIds_) {
        if (symbol.empty()) {
            continue; // a legacy merge's empty middle symbol
        }
        const auto* s = reinterpret_cast<const uint8_t*>(symbol.data());
        const auto length = static_cast<int32_t>(symbol.size());
        int32_t i = 0;
        UChar32 c = 0;
        U8_NEXT(s, i, length, c);
        if (i == length && c >= 0 && static_cast<char32_t>(c) < plainCodePointLimit) {
            codePointSymbols_[static_cast<std::size_t>(c)] = id;
        }
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

    symbolTokenIds_.assign(symbolIds_.size(), -1);
    for (const auto& [symbol, id] : symbolIds_) {
        symbolTokenIds_[static_cast<std::size_t>(id)] = tokenId(-1, symbol).value_or(-1);
    }
    for (std::size_t byte = 0; byte < byteTokenIds_.size(); ++byte) {
        const char c = static_cast<char>(byte);
        byteTokenIds_[byte] = convertTokenToId(hexaEncode(std::string_view(&c, 1)).front());
    }
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

int BPETokenizer::symbolId(std::string_view symbol) const {
    const auto found = symbolIds_.find(symbol);
    return found == symbolIds_.end() ? -1 : found->second;
}

std::size_t BPETokenizer::slotOf(std::uint64_t pair) const {
    const std::size_t mask = merges_.size() - 1;
    for (std::size_t at = pairHash(pair) >> mergeShift_;; at = (at + 1) & mask) {
        if (merges_[at] >> rankBits == pair || merges_[at] == emptySlot) {
            return at;
        }
    }
}

int BPETokenizer::mergeRank(int a, int b) const {
    if (a < 0 || b < 0) {
        return noMerge;
    }
    if (a < characterCount_ && b < characterCount_) {
        return characterMerges_[static_cast<std::size_t>(a * characterCount_ + b)];
    }
    const std::uint64_t key = pairKey(a, b);
    const std::uint64_t bit = pairHash(key) >> filterShift_;
    if ((mergeFilter_[bit / 64] >> (bit % 64) & 1) == 0) {
        return noMerge;
    }
    const std::uint64_t found = merges_[slotOf(key)];
    return found == emptySlot ? noMerge : static_cast<int>(found & (maxMergeCount - 1));
}

std::optional<int> BPETokenizer::rank(const BytePair& pair) const {
    const int found = mergeRank(symbolId(pair.a), symbolId(pair.b));
    return found == noMerge ? std::nullopt : std::optional<int>(found);
}

// One symbol of a piece being merged: a span of the piece, linked to its neighbours. A symbol that was joined
// to the one before it is gone (length 0).
struct BPETokenizer::Symbol {
    int id;       // -1 for text no merge names
    int previous; // -1 at the start
    int next;     // -1 at the end
    std::uint32_t begin;
    std::uint32_t length;
    int rank; // of the merge of this symbol and the next one, noMerge when there is none
};

namespace {

// A merge waiting to be applied to the adjacent symbols left and right, valid while both still hold the ids
// they had when it was found.
struct PendingMerge {
    int rank;
    int left;
    int right;
    int leftId;
    int rightId;
};

// The heap's top is the lowest rank, and among equal ranks (one pair in several places) the leftmost place.
bool comesLater(const PendingMerge& x, const PendingMerge& y) {
    return x.rank > y.rank || (x.rank == y.rank && x.left > y.left);
}

// Up to this many characters, scanning a piece for its best pair at every step costs less than keeping a
// heap.
constexpr std::size_t scannedLength = 32;

} // namespace

// The best-ranked pair is merged everywhere it occurs, left to right without overlap, before any other: one
// such pass is a step. A pair formed during a step waits until the step ends, even when it ranks before it.
const std::vector<BPETokenizer::Symbol>& BPETokenizer::merged(std::string_view token) const {
    thread_local std::vector<Symbol> word;
    word.clear();
    const auto add = [&](std::size_t begin, std::size_t length, int id) {
        // Field by field: a whole new value built beside it and copied in costs a stall per symbol.
        const int at = static_cast<int>(word.size());
        Symbol& added = word.emplace_back();
        added.id = id;
        added.previous = at - 1;
        added.next = at + 1;
        added.begin = static_cast<std::uint32_t>(begin);
        added.length = static_cast<std::uint32_t>(length);
    };
    if (codePointsAreCharacters(token)) {
        const auto* s = reinterpret_cast<const uint8_t*>(token.data());
        const auto length = static_cast<int32_t>(token.size());
        int32_t i = 0;
        while (i < length) {
            const int32_t begin = i;
            UChar32 c = 0;
            U8_NEXT(s, i, length, c);
            const int id = c >= 0 ? codePointSymbols_[static_cast<std::size_t>(c)]
                                  : symbolId(token.substr(begin, i - begin));
            add(static_cast<std::size_t>(begin), static_cast<std::size_t>(i - begin), id);
        }
    } else {
        for (const auto character : Unicode::characters(token)) {
            add(static_cast<std::size_t>(character.data() - token.data()), character.size(),
                symbolId(character));
        }
    }
    if (word.empty()) {
        return word;
    }
    word.back().next = -1;

    const auto symbol = [&](int at) -> Symbol& { return word[static_cast<std::size_t>(at)]; };
    // Finds the merge of the symbol at `at` with the next one.
    const auto findMerge = [&](int at) {
        Symbol& left = symbol(at);
        left.rank = left.next < 0 ? noMerge : mergeRank(left.id, symbol(left.next).id);
    };
    // Joins the symbol at `at` with the next one.
    const auto join = [&](int at) {
        Symbol& left = symbol(at);
        Symbol& right = symbol(left.next);
        left.id = mergedSymbols_[static_cast<std::size_t>(left.rank)];
        left.length += right.length;
        left.next = right.next;
        if (right.next >= 0) {
            symbol(right.next).previous = at;
        }
        right.length = 0;
    };
    for (int at = 0; at >= 0; at = symbol(at).next) {
        findMerge(at);
    }

    if (word.size() <= scannedLength) {
        for (;;) {
            int best = noMerge;
            int first = -1; // the leftmost place of the best merge
            for (int at = 0; at >= 0; at = symbol(at).next) {
                if (symbol(at).rank < best) {
                    best = symbol(at).rank;
                    first = at;
                }
            }
            if (first < 0) {
                break;
            }
            // Ranks are distinct per pair, so the best merge's places are those that hold it. The symbols
            // before and at a join have been passed, so their new merges take part only from the next step
            // on.
            for (int at = first; at >= 0; at = symbol(at).next) {
                if (symbol(at).rank == best) {
                    join(at);
                    findMerge(at);
                    if (symbol(at).previous >= 0) {
                        findMerge(symbol(at).previous);
                    }
                }
            }
        }
        return word;
    }

    // Long pieces: a heap of the merges found, lowest rank first. Merges found during a step join it when the
    // step ends; an entry whose symbols changed since it was found is dropped when it comes up.
    thread_local std::vector<PendingMerge> heap;
    thread_local std::vector<PendingMerge> formed;
    heap.clear();
    formed.clear();
    const auto pending = [&](int at, std::vector<PendingMerge>& into) {
        if (const Symbol& left = symbol(at); left.rank != noMerge) {
            into.push_back({left.rank, at, left.next, left.id, symbol(left.next).id});
        }
    };
    for (int at = 0; at >= 0; at = symbol(at).next) {
        pending(at, heap);
    }
    std::make_heap(heap.begin(), heap.end(), comesLater);
    int stepRank = -1;
    for (;;) {
        if (heap.empty() || heap.front().rank != stepRank) {
            for (const auto& waiting : formed) {
                heap.push_back(waiting);
                std::push_heap(heap.begin(), heap.end(), comesLater);
            }
            formed.clear();
            if (heap.empty()) {
                break;
            }
            stepRank = heap.front().rank;
        }
        std::pop_heap(heap.begin(), heap.end(), comesLater);
        const PendingMerge top = heap.back();
        heap.pop_back();
        const Symbol& left = symbol(top.left);
        if (left.length == 0 || left.next != top.right || left.id != top.leftId ||
            symbol(top.right).id != top.rightId) {
            continue; // one of its symbols was merged since
        }
        join(top.left);
        findMerge(top.left);
        pending(top.left, formed);
        if (left.previous >= 0) {
            findMerge(left.previous);
            pending(left.previous, formed);
        }
    }
    return word;
}

std::string BPETokenizer::bpe(const std::string& token) const {
    std::string joined;
    const auto& word = merged(token);
    for (int at = word.empty() ? -1 : 0; at >= 0; at = word[static_cast<std::size_t>(at)].next) {
        if (!joined.empty()) {
            joined += ' ';
        }
        joined.append(token, word[static_cast<std::size_t>(at)].begin,
                      word[static_cast<std::size_t>(at)].length);
    }
    return joined;
}

std::vector<std::string> BPETokenizer::hexaEncode(std::string_view text) {
    std::vector<std::string> tokens;
    tokens.reserve(text.size());
    for (const char c : text) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "<0x%02X>",
                      static_cast<unsigned>(static_cast<unsigned char>(c)));
        tokens.emplace_back(buffer);
    }
    return tokens;
}

std::optional<int> BPETokenizer::tokenId(int id, std::string_view symbol) const {
    if (id >= 0) {
        const int token = symbolTokenIds_[static_cast<std::size_t>(id)];
        return token >= 0 ? std::optional<int>(token) : std::nullopt;
    }
    const auto token = valueIn(tokensToIds_, symbol);
    return token != unknownTokenId_ ? token : std::nullopt;
}

std::vector<std::string> BPETokenizer::tokenize(const std::string& text) const {
    std::vector<std::string> tokens;
    tokenize(text, tokens);
    return tokens;
}

// A merged symbol of a piece.
struct BPETokenizer::Span {
    std::uint32_t begin;
    std::uint32_t length;
    int id;
};

struct BPETokenizer::Cache {
    static constexpr std::size_t capacity = 1 << 16;
    static constexpr std::size_t seenSlots = 1 << 14;
    static constexpr std::size_t keptBits = 1 << 19;
    std::mutex mutex;
    std::array<std::size_t, seenSlots> seen{}; // by hash modulo the size: the hash of a piece met once
    // A bit per hash of the pieces kept: a piece met for the first time, as most are in text whose pieces
    // seldom repeat, is known not to be kept without a look into the map.
    std::array<std::uint64_t, keptBits / 64> kept{};
    // Room for every entry from the start: growing while the first text is encoded would rehash the map
    // again and again, which cost a fifth of that encoding.
    StringMap<std::vector<Span>> entries = [] {
        StringMap<std::vector<Span>> map;
        map.reserve(capacity);
        return map;
    }();

    bool mayHold(std::size_t hash) const { return (kept[hash % keptBits / 64] >> (hash % 64) & 1) != 0; }
    void add(const std::string& piece, std::size_t hash, const std::vector<Span>& spans) {
        if (entries.size() >= capacity) {
            entries.clear();
            kept.fill(0);
        }
        entries.try_emplace(piece, spans);
        kept[hash % keptBits / 64] |= std::uint64_t{1} << (hash % 64);
    }
};

template <class Emit>
void BPETokenizer::forEachSymbol(const std::string& text, Emit&& emit) const {
    if (text.empty()) {
        return;
    }
    thread_local std::vector<Span> spans;
    spans.clear();
    const std::size_t hash = TransparentStringHash{}(text);
    bool secondSighting = false;
    {
        // One look serves both the cache and the note of pieces met once, so a piece met once locks once.
        std::lock_guard guard(cache_->mutex);
        if (const auto found = cache_->mayHold(hash) ? cache_->entries.find(text) : cache_->entries.end();
            found != cache_->entries.end()) {
            spans = found->second;
        } else {
            std::size_t& seen = cache_->seen[hash % Cache::seenSlots];
            secondSighting = seen == hash;
            seen = hash;
        }
    }
    if (spans.empty()) {
        const auto& word = merged(text);
        for (int at = 0; at >= 0; at = word[static_cast<std::size_t>(at)].next) {
            const Symbol& symbol = word[static_cast<std::size_t>(at)];
            spans.push_back({symbol.begin, symbol.length, symbol.id});
        }
        if (secondSighting) {
            std::lock_guard guard(cache_->mutex);
            cache_->add(text, hash, spans);
        }
    }
    for (const Span& span : spans) {
        emit(std::string_view(text).substr(span.begin, span.length), span.id);
    }
}

// The symbols themselves, not their blank-joined text cut at blanks: a symbol holding a blank stays whole.
void BPETokenizer::tokenize(const std::string& text, std::vector<std::string>& tokens) const {
    forEachSymbol(text, [&](std::string_view symbol, int id) {
        if (tokenId(id, symbol)) {
            tokens.emplace_back(symbol);
        } else {
            for (auto& byte : hexaEncode(symbol)) {
                tokens.push_back(std::move(byte));
            }
        }
    });
}

void BPETokenizer::encode(const std::string& text, std::vector<int>& ids) const {
    forEachSymbol(text, [&](std::string_view symbol, int id) {
        if (const auto token = tokenId(id, symbol)) {
            ids.push_back(*token);
            return;
        }
        for (const char c : symbol) {
            const auto byte = byteTokenIds_[static_cast<unsigned char>(c)];
            if (!byte) {
                throw TokenizerError::missingTokenId(hexaEncode(std::string_view(&c, 1)).front());
            }
            ids.push_back(*byte);
        }
    });
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
