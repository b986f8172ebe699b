#include "VuzadoDudi/External/Tokenizers/AddedTokenMatcher.h"

#include <limits>

#include <unicode/utf8.h>

#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

namespace {

// The length of the white-space character (what ICU's \s matches) at `position`, 0 when there is none.
std::size_t whitespaceLength(std::string_view text, std::size_t position) {
    if (position >= text.size()) {
        return 0;
    }
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    auto i = static_cast<int32_t>(position);
    UChar32 c;
    U8_NEXT(s, i, static_cast<int32_t>(text.size()), c);
    if (c < 0) {
        return 0;
    }
    const bool white = Unicode::regexClass(static_cast<char32_t>(c)) == Unicode::RegexClass::whitespace;
    return white ? static_cast<std::size_t>(i) - position : 0;
}

} // namespace

AddedTokenMatcher::AddedTokenMatcher(const std::vector<Entry>& entries) {
    terminals_.emplace_back();
    for (const Entry& entry : entries) {
        if (entry.content.empty()) {
            continue;
        }
        const auto index = static_cast<std::uint32_t>(entries_.size());
        entries_.push_back(entry);
        anyLstrip_ = anyLstrip_ || entry.lstrip;
        firstByte_[static_cast<unsigned char>(entry.content[0])] = true;
        std::uint32_t node = 0;
        for (const char c : entry.content) {
            const std::uint64_t edge = (static_cast<std::uint64_t>(node) << 8) | static_cast<unsigned char>(c);
            auto found = edges_.find(edge);
            if (found == edges_.end()) {
                const auto child = static_cast<std::uint32_t>(terminals_.size());
                terminals_.emplace_back();
                found = edges_.emplace(edge, child).first;
            }
            node = found->second;
        }
        terminals_[node].push_back(index);
    }
}

template <class Visit>
void AddedTokenMatcher::contentsAt(std::string_view text, std::size_t position, Visit visit) const {
    if (position >= text.size() || !firstByte_[static_cast<unsigned char>(text[position])]) {
        return;
    }
    std::uint32_t node = 0;
    for (std::size_t i = position; i < text.size(); ++i) {
        const std::uint64_t edge = (static_cast<std::uint64_t>(node) << 8) | static_cast<unsigned char>(text[i]);
        auto found = edges_.find(edge);
        if (found == edges_.end()) {
            return;
        }
        node = found->second;
        for (const std::uint32_t entry : terminals_[node]) {
            visit(entry, i + 1);
        }
    }
}

std::size_t AddedTokenMatcher::whitespaceEnd(std::string_view text, std::size_t position) const {
    while (const std::size_t length = whitespaceLength(text, position)) {
        position += length;
    }
    return position;
}

bool AddedTokenMatcher::findAt(std::string_view text, std::size_t position, Match& match,
                               std::size_t& lstripMissUntil) const {
    // The alternative listed first wins among those matching here.
    std::size_t best = std::numeric_limits<std::size_t>::max();
    contentsAt(text, position, [&](std::uint32_t entry, std::size_t end) {
        if (entry < best) {
            best = entry;
            match = {position, end, position, entry};
        }
    });
    if (anyLstrip_ && position >= lstripMissUntil && whitespaceLength(text, position) > 0) {
        // "\s*" is greedy: from the end of the blank run back towards `position`, the first place where a
        // stripping token's content starts decides that token's match.
        const std::size_t runEnd = whitespaceEnd(text, position);
        std::vector<std::size_t> starts{position};
        for (std::size_t at = position; at < runEnd;) {
            at += whitespaceLength(text, at);
            starts.push_back(at);
        }
        std::vector<bool> seen(entries_.size(), false);
        bool anySeen = false;
        for (auto start = starts.rbegin(); start != starts.rend(); ++start) {
            contentsAt(text, *start, [&](std::uint32_t entry, std::size_t end) {
                if (entries_[entry].lstrip && !seen[entry]) {
                    seen[entry] = true;
                    anySeen = true;
                    if (entry < best) {
                        best = entry;
                        match = {position, end, *start, entry};
                    }
                }
            });
        }
        // Later positions in this run see only part of it, so no stripping token can match there either.
        if (!anySeen) {
            lstripMissUntil = runEnd;
        }
    }
    if (best == std::numeric_limits<std::size_t>::max()) {
        return false;
    }
    if (entries_[match.entry].rstrip) {
        match.end = whitespaceEnd(text, match.end);
    }
    return true;
}

std::vector<AddedTokenMatcher::Piece> AddedTokenMatcher::split(std::string_view text) const {
    std::vector<Piece> pieces;
    std::size_t start = 0;
    std::size_t position = 0;
    std::size_t lstripMissUntil = 0;
    while (position < text.size()) {
        Match match;
        if (!findAt(text, position, match, lstripMissUntil)) {
            ++position;
            continue;
        }
        if (match.begin > start) {
            pieces.push_back({text.substr(start, match.begin - start), false});
        }
        pieces.push_back({std::string_view(entries_[match.entry].content), true});
        position = start = std::max(match.end, match.begin + 1);
    }
    if (start < text.size()) {
        pieces.push_back({text.substr(start), false});
    }
    return pieces;
}

} // namespace VuzadoDudi
