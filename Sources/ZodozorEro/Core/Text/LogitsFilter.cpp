#include "ZodozorEro/Core/Text/LogitsFilter.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "VuzadoDudi/Logging.h"
#include "ZodozorEro/Core/Text/LogitsValues.h"

namespace ZodozorEro {

namespace {

constexpr float minusInfinity = -std::numeric_limits<float>::infinity();

} // namespace

SuppressTokensFilter::SuppressTokensFilter(std::vector<int> suppressTokens)
    : suppressTokens_(std::move(suppressTokens)) {
    if (std::any_of(suppressTokens_.begin(), suppressTokens_.end(), [](int id) { return id < 0; })) {
        VuzadoDudi::Logging::debug(
            "SuppressTokensFilter: ignoring negative ids in suppressTokens; the -1 sentinel "
            "(suppress default non-speech tokens) is not supported");
    }
}

System::ML::MultiArray SuppressTokensFilter::filterLogits(System::ML::MultiArray logits,
                                                          const std::vector<int>&) const {
    LogitsValues::suppress(logits, suppressTokens_);
    return logits;
}

SuppressBlankFilter::SuppressBlankFilter(SpecialTokens specialTokens, int sampleBegin)
    : specialTokens_(specialTokens)
    , sampleBegin_(sampleBegin)
    , suppressTokens_{specialTokens.whitespaceToken, specialTokens.endToken} {}

System::ML::MultiArray SuppressBlankFilter::filterLogits(System::ML::MultiArray logits,
                                                         const std::vector<int>& tokens) const {
    if (sampleBegin_ >= 0 && tokens.size() == static_cast<std::size_t>(sampleBegin_)) {
        LogitsValues::suppress(logits, suppressTokens_);
    }
    return logits;
}

TimestampRulesFilter::TimestampRulesFilter(SpecialTokens specialTokens, int sampleBegin,
                                           std::optional<int> maxInitialTimestampIndex,
                                           bool isModelMultilingual)
    : specialTokens_(specialTokens)
    , sampleBegin_(sampleBegin)
    , maxInitialTimestampIndex_(maxInitialTimestampIndex)
    , isModelMultilingual_(isModelMultilingual) {}

std::optional<std::size_t> TimestampRulesFilter::sampleBegin(const std::vector<int>& tokens) const {
    const auto stored = static_cast<std::size_t>(std::max(sampleBegin_, 0));
    if (!isModelMultilingual_) {
        return stored;
    }
    // A previous-text prompt comes before the start of the transcript, so the task token is looked for after
    // that start rather than at the very beginning.
    const auto start = std::find(tokens.begin(), tokens.end(), specialTokens_.startOfTranscriptToken);
    const std::size_t first = start == tokens.end() ? 0 : static_cast<std::size_t>(start - tokens.begin());
    for (std::size_t p = first; p < std::min(first + 3, tokens.size()); ++p) {
        if (tokens[p] == specialTokens_.transcribeToken || tokens[p] == specialTokens_.translateToken) {
            return std::max(stored, p + 1);
        }
    }
    return std::nullopt;
}

System::ML::MultiArray TimestampRulesFilter::filterLogits(System::ML::MultiArray logits,
                                                          const std::vector<int>& tokens) const {
    const std::optional<std::size_t> begin = sampleBegin(tokens);
    if (!begin || tokens.size() < *begin) {
        return logits;
    }
    const int timeTokenBegin = specialTokens_.timeTokenBegin;
    const auto isTimestamp = [&](int token) { return token >= timeTokenBegin; };

    const int noTimestamps[] = {specialTokens_.noTimestampsToken};
    LogitsValues::suppress(logits, noTimestamps);

    if (tokens.size() > *begin) {
        const bool lastWasTimestamp = isTimestamp(tokens.back());
        const bool penultimateWasTimestamp =
            tokens.size() - *begin < 2 || isTimestamp(tokens[tokens.size() - 2]);
        if (lastWasTimestamp) {
            if (penultimateWasTimestamp) {
                // A pair is complete: text or the end must follow.
                LogitsValues::suppressRange(logits, timeTokenBegin, INT_MAX);
            } else {
                // A lone timestamp closes a stretch of text: its partner or the end must follow.
                LogitsValues::suppressRange(logits, 0, specialTokens_.endToken);
            }
        }
        const auto lastTimestamp =
            std::find_if(tokens.rbegin(), tokens.rend() - static_cast<long>(*begin), isTimestamp);
        if (lastTimestamp != tokens.rend() - static_cast<long>(*begin)) {
            // Time never goes back; only the partner of a lone timestamp may repeat it.
            const int last = *lastTimestamp;
            const int bound =
                lastWasTimestamp && !penultimateWasTimestamp ? last : (last == INT_MAX ? last : last + 1);
            LogitsValues::suppressRange(logits, timeTokenBegin, bound);
        }
    }

    if (sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(logits, timeTokenBegin)) {
        LogitsValues::suppressRange(logits, 0, timeTokenBegin);
    }
    return logits;
}

bool TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(
    const System::ML::MultiArray& logits, int timeTokenBegin) {
    // Both sides share the softmax's normaliser, so comparing the log-sum-exp of the timestamps' logits with
    // the largest other logit decides the same as comparing log-probabilities, without computing them.
    return LogitsValues::visit(logits, [&](auto values) {
        const auto split =
            static_cast<std::size_t>(std::clamp<long>(timeTokenBegin, 0, static_cast<long>(values.size())));
        float maxText = minusInfinity;
        for (std::size_t i = 0; i < split; ++i) {
            maxText = std::max(maxText, LogitsValues::widened(values[i]));
        }
        float maxTimestamp = minusInfinity;
        for (std::size_t i = split; i < values.size(); ++i) {
            maxTimestamp = std::max(maxTimestamp, LogitsValues::widened(values[i]));
        }
        if (maxTimestamp == minusInfinity) {
            return false;
        }
        double sum = 0;
        for (std::size_t i = split; i < values.size(); ++i) {
            sum += std::exp(LogitsValues::widened(values[i]) - maxTimestamp);
        }
        return maxTimestamp + std::log(sum) > static_cast<double>(maxText);
    });
}

LanguageLogitsFilter::LanguageLogitsFilter(std::unordered_set<int> allLanguageTokens, int logitsDim,
                                           int sampleBegin)
    : allLanguageTokens_(std::move(allLanguageTokens))
    , logitsDim_(logitsDim)
    , sampleBegin_(sampleBegin)
    , nonLanguageTokens_(getNonLanguageTokens(logitsDim, allLanguageTokens_)) {}

std::vector<int>
LanguageLogitsFilter::getNonLanguageTokens(int logitsDim, const std::unordered_set<int>& allLanguageTokens) {
    if (logitsDim < 0) {
        throw std::invalid_argument("The logits dimension must not be negative, not " +
                                    std::to_string(logitsDim));
    }
    std::vector<int> ids;
    ids.reserve(static_cast<std::size_t>(logitsDim));
    for (int id = 0; id < logitsDim; ++id) {
        if (!allLanguageTokens.contains(id)) {
            ids.push_back(id);
        }
    }
    return ids;
}

System::ML::MultiArray LanguageLogitsFilter::filterLogits(System::ML::MultiArray logits,
                                                          const std::vector<int>& tokens) const {
    if (tokens.size() >= static_cast<std::size_t>(std::max(sampleBegin_, 0))) {
        LogitsValues::suppress(logits, nonLanguageTokens_);
    }
    return logits;
}

} // namespace ZodozorEro
