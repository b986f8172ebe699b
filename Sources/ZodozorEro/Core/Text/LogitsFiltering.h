#pragma once

#include <vector>

#include "System/ML/MultiArray.h"

namespace ZodozorEro {

// One rule applied to the decoder's logits before a token is sampled. A pipeline configuration may hand in
// its own list in place of the built-in filters.
class LogitsFiltering {
public:
    virtual ~LogitsFiltering() = default;

    // Sets the logits of the tokens that may not come next to minus infinity and returns the array. `logits`
    // ([1, 1, V]) shares its buffer with the caller's array, so the change is made in place; nothing is ever
    // raised. `tokens` is the whole sequence so far, prompt included. Filters keep no state between calls.
    virtual System::ML::MultiArray filterLogits(System::ML::MultiArray logits,
                                                const std::vector<int>& tokens) const = 0;
};

} // namespace ZodozorEro
