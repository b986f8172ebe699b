#include "VuzadoDudi/External/Tokenizers/TokenLattice.h"

#include <algorithm>
#include <stdexcept>

#include "VuzadoDudi/Config.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

TokenLatticeNode::TokenLatticeNode(int tokenId, std::size_t startOffset, std::size_t length, float score,
                                   std::shared_ptr<TokenLatticeNode> prev, float backtraceScore)
    : tokenId(tokenId)
    , startOffset(startOffset)
    , length(length)
    , score(score)
    , prev(std::move(prev))
    , backtraceScore(backtraceScore) {}

TokenLatticeNode::~TokenLatticeNode() {
    // Releasing the last owner of a predecessor from inside this destructor would release its predecessor in
    // turn, one stack frame per node of the chain: a long text would overflow the stack. The chain is cut
    // here instead, one node at a time, as long as this chain is its only owner.
    std::shared_ptr<TokenLatticeNode> next = std::move(prev);
    while (next && next.use_count() == 1) {
        std::shared_ptr<TokenLatticeNode> after = std::move(next->prev);
        next = std::move(after);
    }
}

std::string TokenLatticeNode::description() const {
    return "TokenLatticeNode(tokenId: " + std::to_string(tokenId) + ", startOffset: " + std::to_string(startOffset) +
           ", length: " + std::to_string(length) + ", score: " + Config(score).description() +
           ", prev: " + (prev ? "true" : "false") + ", backtraceScore: " + Config(backtraceScore).description() + ")";
}

TokenLattice::TokenLattice(std::string sentence, int bosTokenId, int eosTokenId)
    : sentence_(std::move(sentence))
    , bosTokenId_(bosTokenId)
    , eosTokenId_(eosTokenId) {
    for (const auto character : Unicode::characters(sentence_)) {
        boundaries_.push_back(static_cast<std::size_t>(character.data() - sentence_.data()));
    }
    boundaries_.push_back(sentence_.size());
    const std::size_t n = characterCount();
    nodesByStart_.resize(n + 1);
    nodesByEnd_.resize(n + 1);
    auto begin = std::make_shared<TokenLatticeNode>(bosTokenId_, 0, 0, 0.0f);
    auto end = std::make_shared<TokenLatticeNode>(eosTokenId_, n, 0, 0.0f);
    nodesByStart_[n].push_back(end);
    nodesByEnd_[0].push_back(begin);
    latticeNodes_.push_back(std::move(begin));
    latticeNodes_.push_back(std::move(end));
}

void TokenLattice::insert(std::size_t startOffset, std::size_t length, float score, int tokenId) {
    const std::size_t n = characterCount();
    if (startOffset > n || length > n - startOffset) {
        throw std::out_of_range("A lattice node lies outside its sentence.");
    }
    auto node = std::make_shared<TokenLatticeNode>(tokenId, startOffset, length, score);
    nodesByStart_[startOffset].push_back(node);
    nodesByEnd_[startOffset + length].push_back(node);
    latticeNodes_.push_back(std::move(node));
}

std::vector<std::shared_ptr<TokenLatticeNode>> TokenLattice::viterbi() {
    const std::size_t n = characterCount();
    for (std::size_t offset = 0; offset <= n; ++offset) {
        if (nodesByStart_[offset].empty()) {
            return {};
        }
        for (const auto& right : nodesByStart_[offset]) {
            right->prev = nullptr;
            const TokenLatticeNode* best = nullptr;
            float bestScore = 0;
            for (const auto& left : nodesByEnd_[offset]) {
                const float candidate = left->backtraceScore + right->score;
                if (best == nullptr || candidate > bestScore) {
                    best = left.get();
                    bestScore = candidate;
                    right->prev = left;
                }
            }
            if (best != nullptr) {
                right->backtraceScore = bestScore;
            }
        }
    }
    const auto& root = nodesByStart_[n].front();
    if (!root->prev) {
        return {};
    }
    std::vector<std::shared_ptr<TokenLatticeNode>> path;
    for (auto node = root->prev; node->prev; node = node->prev) {
        path.push_back(node);
    }
    std::reverse(path.begin(), path.end());
    return path;
}

std::string_view TokenLattice::piece(std::size_t startOffset, std::size_t length) const {
    const std::size_t begin = boundaries_[startOffset];
    return std::string_view(sentence_).substr(begin, boundaries_[startOffset + length] - begin);
}

std::vector<std::string> TokenLattice::tokens() {
    std::vector<std::string> texts;
    for (const auto& node : viterbi()) {
        texts.emplace_back(piece(node->startOffset, node->length));
    }
    return texts;
}

} // namespace VuzadoDudi
