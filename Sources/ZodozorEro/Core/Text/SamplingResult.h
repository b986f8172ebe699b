#pragma once

#include <vector>

namespace ZodozorEro {

// One step of the token sampler: the tokens so far, their log probabilities, and whether decoding is done.
struct SamplingResult {
    std::vector<int> tokens;
    std::vector<float> logProbs;
    bool completed = false;

    bool operator==(const SamplingResult&) const = default;
};

} // namespace ZodozorEro
