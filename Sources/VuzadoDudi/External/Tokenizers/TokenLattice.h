#pragma once

// The lattice of candidate pieces of one text and the Viterbi pass that picks the segmentation with the highest
// total score. Offsets and lengths count characters (extended grapheme clusters).

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace VuzadoDudi {

struct TokenLatticeNode {
    TokenLatticeNode(int tokenId, std::size_t startOffset, std::size_t length, float score,
                     std::shared_ptr<TokenLatticeNode> prev = nullptr, float backtraceScore = 0);
    // A long chain of predecessors is released node by node, never by recursion.
    ~TokenLatticeNode();
    TokenLatticeNode(const TokenLatticeNode&) = delete;
    TokenLatticeNode& operator=(const TokenLatticeNode&) = delete;

    // "TokenLatticeNode(tokenId: 5, startOffset: 0, length: 2, score: -1.5, prev: true, backtraceScore: -1.5)"
    std::string description() const;

    int tokenId;
    std::size_t startOffset;
    std::size_t length;
    float score;
    // The best predecessor the Viterbi pass found.
    std::shared_ptr<TokenLatticeNode> prev;
    // The best total score of a path ending with this node.
    float backtraceScore;
};

class TokenLattice {
public:
    TokenLattice(std::string sentence, int bosTokenId, int eosTokenId);

    // A candidate of `length` characters starting at character `startOffset`; both within the sentence.
    void insert(std::size_t startOffset, std::size_t length, float score, int tokenId);

    // The best path from the start to the end, without the begin and end nodes; empty when no path covers the
    // sentence. Ties keep the predecessor inserted first.
    std::vector<std::shared_ptr<TokenLatticeNode>> viterbi();
    // The texts of the nodes of the best path.
    std::vector<std::string> tokens();

    const std::string& sentence() const { return sentence_; }
    std::size_t characterCount() const { return boundaries_.size() - 1; }
    const std::vector<std::shared_ptr<TokenLatticeNode>>& latticeNodes() const { return latticeNodes_; }

private:
    std::string_view piece(std::size_t startOffset, std::size_t length) const;

    std::string sentence_;
    int bosTokenId_;
    int eosTokenId_;
    std::vector<std::size_t> boundaries_; // byte offset of each character start, then of the end
    std::vector<std::shared_ptr<TokenLatticeNode>> latticeNodes_;
    std::vector<std::vector<std::shared_ptr<TokenLatticeNode>>> nodesByStart_;
    std::vector<std::vector<std::shared_ptr<TokenLatticeNode>>> nodesByEnd_;
};

} // namespace VuzadoDudi
