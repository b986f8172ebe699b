#include "ZodozorEro/Core/Text/TokenSampler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>

#include "VuzadoDudi/Logging.h"
#include "ZodozorEro/Core/Text/LogitsValues.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

namespace {

GreedyTokenSampler::RandomSource defaultRandomSource() {
    auto engine = std::make_shared<std::mt19937>(std::random_device{}());
    return [engine] { return std::generate_canonical<float, 24>(*engine); };
}

// A draw kept inside [0, 1) whatever the source returns.
float uniformDraw(const GreedyTokenSampler::RandomSource& source) {
    const float draw = source();
    if (!(draw >= 0)) {
        return 0;
    }
    return draw < 1 ? draw : std::nextafter(1.0f, 0.0f);
}

} // namespace

GreedyTokenSampler::GreedyTokenSampler(System::ML::Half temperature, int eotToken,
                                       DecodingOptions decodingOptions, RandomSource randomSource)
    : temperature(temperature)
    , eotToken(eotToken)
    , decodingOptions(std::move(decodingOptions))
    , randomSource_(randomSource ? std::move(randomSource) : defaultRandomSource()) {}

GreedyTokenSampler::Sample GreedyTokenSampler::sample(const System::ML::MultiArray& logits) {
    LogitsValues::readAsFloats(logits, values_);
    std::vector<float>& values = values_;
    if (values.empty()) {
        throw WhisperError::decodingFailed("Cannot sample a token from empty logits");
    }
    const float scale = static_cast<float>(temperature);
    if (scale != 0) {
        for (float& value : values) {
            value /= scale;
        }
    }
    const auto best = std::max_element(values.begin(), values.end());
    const float maximum = *best;
    if (maximum == -std::numeric_limits<float>::infinity() || std::isnan(maximum)) {
        throw WhisperError::decodingFailed("Cannot sample a token: every token is suppressed");
    }
    double sum = 0;
    for (const float value : values) {
        sum += std::exp(value - maximum);
    }
    const double logSum = std::log(sum);
    // log(softmax(x))[token], without forming a probability that could round to 0.
    const auto logProbOf = [&](int token) {
        return static_cast<float>(static_cast<double>(values[static_cast<std::size_t>(token)]) - maximum -
                                  logSum);
    };

    if (scale == 0) {
        // The first of equal maxima.
        const int token = static_cast<int>(best - values.begin());
        return {token, logProbOf(token)};
    }

    const int topK = decodingOptions.topK;
    if (topK < 1) {
        throw WhisperError::decodingFailed("Cannot sample among the " + std::to_string(topK) +
                                           " likeliest tokens: topK must be at least 1");
    }
    // The k likeliest, likeliest first; equal values keep id order, so a draw depends only on the logits and
    // the random value. One pass with a short sorted list: k is small beside the vocabulary.
    const auto k = std::min(static_cast<std::size_t>(topK), values.size());
    std::vector<int> order;
    order.reserve(k + 1);
    for (std::size_t id = 0; id < values.size(); ++id) {
        if (order.size() == k && values[id] <= values[static_cast<std::size_t>(order.back())]) {
            continue;
        }
        auto position = std::upper_bound(order.begin(), order.end(), values[id], [&](float value, int other) {
            return value > values[static_cast<std::size_t>(other)];
        });
        order.insert(position, static_cast<int>(id));
        if (order.size() > k) {
            order.pop_back();
        }
    }
    std::vector<double> probabilities(k);
    double total = 0;
    for (std::size_t i = 0; i < k; ++i) {
        probabilities[i] =
            std::exp(static_cast<double>(values[static_cast<std::size_t>(order[i])]) - maximum - logSum);
        total += probabilities[i];
    }
    const double threshold = total * uniformDraw(randomSource_);
    std::size_t chosen = 0;
    double running = 0;
    for (std::size_t i = 0; i < k; ++i) {
        running += probabilities[i];
        if (running > threshold) {
            chosen = i;
            break;
        }
    }
    return {order[chosen], logProbOf(order[chosen])};
}

SamplingResult GreedyTokenSampler::update(const std::vector<int>& tokens,
                                          const System::ML::MultiArray& logits,
                                          const std::vector<float>& logProbs) {
    const Sample next = sample(logits);
    SamplingResult result{.tokens = tokens, .logProbs = logProbs, .completed = next.token == eotToken};
    result.tokens.push_back(next.token);
    result.logProbs.push_back(next.logProb);
    return result;
}

SamplingResult GreedyTokenSampler::finalize(const std::vector<int>& tokens,
                                            const std::vector<float>& logProbs) {
    SamplingResult result{.tokens = tokens, .logProbs = logProbs, .completed = true};
    if (tokens.empty() || tokens.back() != eotToken) {
        result.tokens.push_back(eotToken);
        result.logProbs.push_back(0);
    }
    return result;
}

BeamSearchTokenSampler::BeamSearchTokenSampler(int beamSize, int eotToken, float patience)
    : beamSize(beamSize)
    , eotToken(eotToken)
    , patience(patience)
    , maxCandidates(0) {
    const float candidates = static_cast<float>(beamSize) * patience;
    if (!(candidates >= 1) || candidates >= static_cast<float>(std::numeric_limits<int>::max())) {
        throw std::invalid_argument("Invalid beam size " + std::to_string(beamSize) + " or patience " +
                                    VuzadoDudi::Logging::describe(patience));
    }
    maxCandidates = static_cast<int>(candidates);
}

void BeamSearchTokenSampler::reset() {
    finishedSequences.clear();
}

SamplingResult BeamSearchTokenSampler::update(const std::vector<int>&, const System::ML::MultiArray&,
                                              const std::vector<float>&) {
    throw WhisperError::decodingFailed("Not implemented: update(tokens:logits:logProbs:)");
}

SamplingResult BeamSearchTokenSampler::finalize(const std::vector<int>&, const std::vector<float>&) {
    throw WhisperError::decodingFailed("Not implemented: finalize(tokens:logProbs:)");
}

} // namespace ZodozorEro
