#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "VuzadoDudi/Unicode.h"
#include "ZodozorEro/Core/WhisperTokenizer.h"

namespace ZodozorEroTesting {

// A tokenizer over a vocabulary given by the test, with the standard control token ids: ids below 50257
// decode to their text ("?" when unlisted), control tokens to "<|special|>", timestamps to "<|1.50|>". Words
// begin at a control token, a leading space or lone punctuation, as the real tokenizer cuts words written
// with spaces.
class FakeTokenizer : public ZodozorEro::WhisperTokenizer {
public:
    explicit FakeTokenizer(std::map<int, std::string> vocabulary = {})
        : vocabulary_(std::move(vocabulary)) {}

    std::vector<int> encode(const std::string&) const override { return {}; }
    std::string decode(const std::vector<int>& tokens) const override {
        std::string text;
        for (const int token : tokens) {
            text += textOf(token);
        }
        return text;
    }
    std::optional<int> convertTokenToId(const std::string&) const override { return std::nullopt; }
    std::optional<std::string> convertIdToToken(int id) const override { return textOf(id); }
    const ZodozorEro::SpecialTokens& specialTokens() const override { return specialTokens_; }
    const std::unordered_set<int>& allLanguageTokens() const override { return languages_; }

    ZodozorEro::WordTokens splitToWordTokens(const std::vector<int>& tokenIds) const override {
        ZodozorEro::WordTokens split;
        for (const int token : tokenIds) {
            const std::string text = textOf(token);
            const std::string trimmed = VuzadoDudi::Unicode::trimmingWhitespace(text);
            const std::u32string points = VuzadoDudi::Unicode::codePoints(trimmed);
            const bool punctuation = points.size() == 1 && VuzadoDudi::Unicode::isPunctuation(points[0]);
            if (split.words.empty() || token >= specialTokens_.specialTokenBegin || text.starts_with(' ') ||
                punctuation) {
                split.words.push_back(text);
                split.wordTokens.push_back({token});
            } else {
                split.words.back() += text;
                split.wordTokens.back().push_back(token);
            }
        }
        return split;
    }

    std::string textOf(int token) const {
        if (token >= specialTokens_.timeTokenBegin) {
            char text[32];
            std::snprintf(text, sizeof text, "<|%.2f|>", (token - specialTokens_.timeTokenBegin) * 0.02);
            return text;
        }
        if (token >= specialTokens_.specialTokenBegin) {
            return "<|special|>";
        }
        const auto it = vocabulary_.find(token);
        return it == vocabulary_.end() ? "?" : it->second;
    }

private:
    std::map<int, std::string> vocabulary_;
    ZodozorEro::SpecialTokens specialTokens_;
    std::unordered_set<int> languages_;
};

} // namespace ZodozorEroTesting
