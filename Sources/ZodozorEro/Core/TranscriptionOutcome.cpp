#include "ZodozorEro/Core/TranscriptionOutcome.h"

namespace ZodozorEro {

std::vector<std::optional<std::vector<std::shared_ptr<TranscriptionResult>>>>
toOptionalArrays(const std::vector<TranscriptionOutcome>& outcomes) {
    std::vector<std::optional<std::vector<std::shared_ptr<TranscriptionResult>>>> arrays;
    arrays.reserve(outcomes.size());
    for (const TranscriptionOutcome& outcome : outcomes) {
        arrays.push_back(outcome.succeeded() ? std::optional(outcome.results) : std::nullopt);
    }
    return arrays;
}

} // namespace ZodozorEro
