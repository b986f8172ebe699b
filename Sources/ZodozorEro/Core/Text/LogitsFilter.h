#pragma once

#include <optional>
#include <unordered_set>
#include <vector>

#include "ZodozorEro/Core/ControlTokens.h"
#include "ZodozorEro/Core/Text/LogitsFiltering.h"

namespace ZodozorEro {

// Never lets the listed tokens be chosen. Negative ids (the sentinel some callers use for "the default
// non-speech tokens") and ids beyond the vocabulary have no effect.
class SuppressTokensFilter : public LogitsFiltering {
public:
    explicit SuppressTokensFilter(std::vector<int> suppressTokens);

    const std::vector<int>& suppressTokens() const { return suppressTokens_; }

    System::ML::MultiArray filterLogits(System::ML::MultiArray logits,
                                        const std::vector<int>& tokens) const override;

private:
    std::vector<int> suppressTokens_;
};

// Keeps the first sampled token from being a blank or the end of the text, so a window never decodes to
// nothing at once.
class SuppressBlankFilter : public LogitsFiltering {
public:
    SuppressBlankFilter(SpecialTokens specialTokens, int sampleBegin);

    const SpecialTokens& specialTokens() const { return specialTokens_; }
    int sampleBegin() const { return sampleBegin_; }

    System::ML::MultiArray filterLogits(System::ML::MultiArray logits,
                                        const std::vector<int>& tokens) const override;

private:
    SpecialTokens specialTokens_;
    int sampleBegin_;
    std::vector<int> suppressTokens_;
};

// The grammar of timestamp tokens: timestamps come in pairs around text, never go back in time, and take over
// when together they are likelier than any text token; the no-timestamps token is never sampled.
class TimestampRulesFilter : public LogitsFiltering {
public:
    // `sampleBegin` is the index of the first sampled token (the model's first timestamp, where it fills the
    // prompt's last slot). `maxInitialTimestampIndex` is kept for callers that read it; no
    // rule limits the first timestamp.
    TimestampRulesFilter(SpecialTokens specialTokens, int sampleBegin,
                         std::optional<int> maxInitialTimestampIndex, bool isModelMultilingual);

    const SpecialTokens& specialTokens() const { return specialTokens_; }
    int sampleBegin() const { return sampleBegin_; }
    const std::optional<int>& maxInitialTimestampIndex() const { return maxInitialTimestampIndex_; }
    bool isModelMultilingual() const { return isModelMultilingual_; }

    System::ML::MultiArray filterLogits(System::ML::MultiArray logits,
                                        const std::vector<int>& tokens) const override;

private:
    // Where sampling starts in `tokens`. A multilingual model's prompt must hold its task token within the
    // three tokens from the start of the transcript (start, language, task); without one the rules stay off.
    std::optional<std::size_t> sampleBegin(const std::vector<int>& tokens) const;
    // Whether all timestamps together are strictly likelier than the likeliest other token.
    static bool sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const System::ML::MultiArray& logits,
                                                                   int timeTokenBegin);

    SpecialTokens specialTokens_;
    int sampleBegin_;
    std::optional<int> maxInitialTimestampIndex_;
    bool isModelMultilingual_;
};

// Leaves only language tokens selectable, for detecting the spoken language.
class LanguageLogitsFilter : public LogitsFiltering {
public:
    // std::invalid_argument for a negative `logitsDim`.
    LanguageLogitsFilter(std::unordered_set<int> allLanguageTokens, int logitsDim, int sampleBegin);

    const std::unordered_set<int>& allLanguageTokens() const { return allLanguageTokens_; }
    int logitsDim() const { return logitsDim_; }
    int sampleBegin() const { return sampleBegin_; }
    // Every id below `logitsDim` that is no language token, ascending.
    const std::vector<int>& nonLanguageTokens() const { return nonLanguageTokens_; }

    System::ML::MultiArray filterLogits(System::ML::MultiArray logits,
                                        const std::vector<int>& tokens) const override;

private:
    static std::vector<int> getNonLanguageTokens(int logitsDim,
                                                 const std::unordered_set<int>& allLanguageTokens);

    std::unordered_set<int> allLanguageTokens_;
    int logitsDim_;
    int sampleBegin_;
    std::vector<int> nonLanguageTokens_;
};

} // namespace ZodozorEro
