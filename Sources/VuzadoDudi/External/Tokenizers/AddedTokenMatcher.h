#pragma once

// Finds added tokens in text with a byte trie, in one left-to-right pass. It finds what the alternation
// "\s*(content)\s*|..." (longest content first, then file order; "\s*" before a token that strips on its left,
// after one that strips on its right) would find, without evaluating thousands of alternatives per position.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace VuzadoDudi {

class AddedTokenMatcher {
public:
    struct Entry {
        std::string content;
        bool lstrip = false;
        bool rstrip = false;
    };
    // Entries in priority order; empty contents are left out (they would match everywhere).
    explicit AddedTokenMatcher(const std::vector<Entry>& entries);

    bool empty() const { return entries_.empty(); }

    struct Piece {
        std::string_view text;
        bool isAddedToken;
    };
    // The text cut into the stretches between tokens and the tokens themselves (their content only: blanks a
    // token strips are absorbed).
    std::vector<Piece> split(std::string_view text) const;

private:
    struct Match {
        std::size_t begin;   // start of the whole match (stripped blanks included)
        std::size_t end;     // end of the whole match
        std::size_t contentBegin;
        std::size_t entry;
    };
    bool findAt(std::string_view text, std::size_t position, Match& match, std::size_t& lstripMissUntil) const;
    // Entries whose content starts at `position`, by walking the trie.
    template <class Visit>
    void contentsAt(std::string_view text, std::size_t position, Visit visit) const;
    std::size_t whitespaceEnd(std::string_view text, std::size_t position) const;

    std::vector<Entry> entries_;
    // Node 0 is the root; an edge is (node << 8 | byte) -> child.
    std::unordered_map<std::uint64_t, std::uint32_t> edges_;
    std::vector<std::vector<std::uint32_t>> terminals_; // node -> entries ending there
    bool firstByte_[256] = {};
    bool anyLstrip_ = false;
};

} // namespace VuzadoDudi
