#pragma once

// A prefix tree of sequences, searched for every inserted sequence that is a prefix of a text. The nodes live in
// one list and refer to their children by position, so neither a deep tree nor its release recurses.

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

namespace VuzadoDudi {

// `Hash` and `Equal` may be transparent, so a text can be searched with views of its elements.
template <class T, class Hash = std::hash<T>, class Equal = std::equal_to<T>>
class Trie {
public:
    struct TrieNode {
        // An inserted sequence ends here (the node may still have children).
        bool isLeaf = false;
        std::unordered_map<T, std::size_t, Hash, Equal> children; // element -> node position
    };

    template <class Sequence>
    void insert(const Sequence& sequence) {
        std::size_t node = 0;
        for (const auto& element : sequence) {
            auto found = nodes_[node].children.find(element);
            if (found == nodes_[node].children.end()) {
                const std::size_t child = nodes_.size();
                nodes_[node].children.emplace(T(element), child);
                nodes_.emplace_back();
                node = child;
            } else {
                node = found->second;
            }
        }
        nodes_[node].isLeaf = true;
    }

    template <class Sequences>
    void append(const Sequences& sequences) {
        for (const auto& sequence : sequences) {
            insert(sequence);
        }
    }

    // Yields every prefix of the text that was inserted, shortest first, as a view of the text; ends at the
    // first element that leaves the tree.
    template <class U>
    class LeavesWithCommonPrefixIterator {
    public:
        LeavesWithCommonPrefixIterator(const Trie& trie, std::span<const U> text)
            : trie_(trie)
            , text_(text) {}

        std::optional<std::span<const U>> next() {
            while (matched_ < text_.size()) {
                const auto& children = trie_.nodes_[node_].children;
                const auto found = children.find(text_[matched_]);
                if (found == children.end()) {
                    matched_ = text_.size();
                    return std::nullopt;
                }
                node_ = found->second;
                ++matched_;
                if (trie_.nodes_[node_].isLeaf) {
                    return text_.first(matched_);
                }
            }
            return std::nullopt;
        }

    private:
        const Trie& trie_;
        std::span<const U> text_;
        std::size_t node_ = 0;
        std::size_t matched_ = 0;
    };

    template <class U>
    LeavesWithCommonPrefixIterator<U> commonPrefixSearch(std::span<const U> text) const {
        return LeavesWithCommonPrefixIterator<U>(*this, text);
    }

    const TrieNode& root() const { return nodes_.front(); }
    std::size_t nodeCount() const { return nodes_.size(); }

private:
    std::vector<TrieNode> nodes_{1};
};

} // namespace VuzadoDudi
