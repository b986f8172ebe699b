#pragma once

#include <functional>
#include <vector>

#include "System/ML/Half.h"
#include "System/ML/MultiArray.h"
#include "ZodozorEro/Core/DecodingOptions.h"
#include "ZodozorEro/Core/Text/SamplingResult.h"

namespace ZodozorEro {

// Picks the next token from one decoder step's filtered logits, and closes a window's sequence.
class TokenSampling {
public:
    virtual ~TokenSampling() = default;

    // `tokens` and `logProbs` extended by the sampled token and its log probability; `completed` when that
    // token ends the text. `logits` has the shape [1, 1, V].
    virtual SamplingResult update(const std::vector<int>& tokens, const System::ML::MultiArray& logits,
                                  const std::vector<float>& logProbs) = 0;
    // The sequences ending in the end token (added with a log probability of 0 when missing); always
    // completed.
    virtual SamplingResult finalize(const std::vector<int>& tokens, const std::vector<float>& logProbs) = 0;
};

// The likeliest token at temperature 0; otherwise a draw among the `topK` likeliest tokens of the logits
// softened by the temperature. One sampler serves one decoding attempt at a time.
class GreedyTokenSampler : public TokenSampling {
public:
    // A uniform draw from [0, 1). Injected where draws must repeat; by default a generator seeded from the
    // system's entropy source.
    using RandomSource = std::function<float()>;

    GreedyTokenSampler(System::ML::Half temperature, int eotToken, DecodingOptions decodingOptions,
                       RandomSource randomSource = nullptr);

    System::ML::Half temperature;
    int eotToken;
    // Only `topK` is read.
    DecodingOptions decodingOptions;

    // WhisperError (decodingFailed) when the logits are empty or every one of them is minus infinity, and
    // when a draw is asked for with `topK` below 1.
    SamplingResult update(const std::vector<int>& tokens, const System::ML::MultiArray& logits,
                          const std::vector<float>& logProbs) override;
    SamplingResult finalize(const std::vector<int>& tokens, const std::vector<float>& logProbs) override;

private:
    struct Sample {
        int token;
        float logProb;
    };
    Sample sample(const System::ML::MultiArray& logits);

    RandomSource randomSource_;
    // The logits of the step being sampled, kept to spare an allocation per token.
    std::vector<float> values_;
};

// A beam-search sampler that only checks its settings: nothing samples with it yet.
class BeamSearchTokenSampler : public TokenSampling {
public:
    // std::invalid_argument ("Invalid beam size … or patience …") unless beamSize × patience makes at least
    // one candidate.
    BeamSearchTokenSampler(int beamSize, int eotToken, float patience = 1);

    int beamSize;
    int eotToken;
    float patience;
    // beamSize × patience, truncated.
    int maxCandidates;
    std::vector<float> finishedSequences;

    void reset();

    // WhisperError (decodingFailed): not implemented.
    SamplingResult update(const std::vector<int>& tokens, const System::ML::MultiArray& logits,
                          const std::vector<float>& logProbs) override;
    SamplingResult finalize(const std::vector<int>& tokens, const std::vector<float>& logProbs) override;
};

} // namespace ZodozorEro
