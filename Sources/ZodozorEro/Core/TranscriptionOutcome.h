#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "ZodozorEro/Core/TranscriptionResult.h"

namespace ZodozorEro {

// What transcribing one of several inputs gave: its results, or why it failed.
struct TranscriptionOutcome {
    std::vector<std::shared_ptr<TranscriptionResult>> results;
    std::exception_ptr error; // null on success

    bool succeeded() const { return !error; }
};

// The results of each outcome in place, nothing where it failed.
std::vector<std::optional<std::vector<std::shared_ptr<TranscriptionResult>>>>
toOptionalArrays(const std::vector<TranscriptionOutcome>& outcomes);

} // namespace ZodozorEro
