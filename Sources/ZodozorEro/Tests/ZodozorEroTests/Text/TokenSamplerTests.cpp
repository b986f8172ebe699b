#include "ZodozorEro/Core/Text/TokenSampler.h"

#include <cmath>
#include <limits>
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "Text/TextTesting.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace {

using System::ML::Half;
using System::ML::MultiArray;
using System::ML::MultiArrayDataType;
using ZodozorEro::BeamSearchTokenSampler;
using ZodozorEro::DecodingOptions;
using ZodozorEro::GreedyTokenSampler;
using ZodozorEro::SamplingResult;
using ZodozorEro::WhisperError;
using ZodozorEroTesting::logitsOf;

constexpr float minusInfinity = -std::numeric_limits<float>::infinity();
constexpr int eot = 9;

DecodingOptions withTopK(int topK) {
    DecodingOptions options;
    options.topK = topK;
    return options;
}

// Always the same draw.
GreedyTokenSampler::RandomSource fixedDraw(float draw) {
    return [draw] { return draw; };
}

GreedyTokenSampler::RandomSource seeded(unsigned seed) {
    auto engine = std::make_shared<std::mt19937>(seed);
    return [engine] { return std::uniform_real_distribution<float>(0, 1)(*engine); };
}

double logSoftmax(const std::vector<float>& values, int token, double temperature = 1) {
    double sum = 0;
    for (float v : values) {
        sum += std::exp(v / temperature);
    }
    return values[static_cast<std::size_t>(token)] / temperature - std::log(sum);
}

// Three tokens with probabilities 0.5 (id 4), 0.3 (id 1) and 0.2 (id 7) at temperature 1; the rest
// impossible.
std::vector<float> threeWay() {
    std::vector<float> values(10, minusInfinity);
    values[4] = std::log(0.5f);
    values[1] = std::log(0.3f);
    values[7] = std::log(0.2f);
    return values;
}

TEST(TokenSamplerTest, TemperatureZeroTakesTheFirstLikeliestTokenWithoutADraw) {
    const std::vector<float> values = {1, 3, 2, 3, -1};
    for (const int topK : {0, 1, 5, 100}) {
        for (const auto type : {MultiArrayDataType::float16, MultiArrayDataType::float32}) {
            GreedyTokenSampler sampler(0, eot, withTopK(topK), [] {
                ADD_FAILURE() << "no draw at temperature 0";
                return 0.5f;
            });
            const SamplingResult result = sampler.update({11, 12}, logitsOf(values, type), {0, 0});
            EXPECT_EQ(result.tokens, (std::vector<int>{11, 12, 1}));
            ASSERT_EQ(result.logProbs.size(), 3u);
            EXPECT_NEAR(result.logProbs[2], logSoftmax(values, 1), 1e-5);
            EXPECT_FALSE(result.completed);
        }
    }
}

TEST(TokenSamplerTest, DrawsWalkTheTopTokensInOrderOfLikelihood) {
    struct Case {
        float temperature;
        int topK;
        float draw;
        int token;
    };
    const std::vector<Case> cases = {
        {1, 3, 0.0f, 4},
        {1, 3, 0.45f, 4},
        {1, 3, 0.55f, 1},
        {1, 3, 0.75f, 1},
        {1, 3, 0.85f, 7},
        {1, 3, 0.999f, 7},
        // Only the two likeliest take part, their shares scaled to the whole draw.
        {1, 2, 0.6f, 4},
        {1, 2, 0.65f, 1},
        {1, 2, 0.999f, 1},
        // Only one: always the likeliest.
        {1, 1, 0.999f, 4},
        // More than the vocabulary: all of it.
        {1, 50, 0.85f, 7},
        // A higher temperature flattens the shares: 0.415, 0.322, 0.263.
        {2, 3, 0.40f, 4},
        {2, 3, 0.45f, 1},
        {2, 3, 0.72f, 1},
        {2, 3, 0.76f, 7},
        // A draw the source gets wrong is kept inside [0, 1).
        {1, 3, 1.5f, 7},
        {1, 3, -0.5f, 4},
        {1, 3, std::nanf(""), 4},
    };
    for (const Case& c : cases) {
        GreedyTokenSampler sampler(c.temperature, eot, withTopK(c.topK), fixedDraw(c.draw));
        const SamplingResult result =
            sampler.update({}, logitsOf(threeWay(), MultiArrayDataType::float32), {});
        ASSERT_EQ(result.tokens.size(), 1u);
        EXPECT_EQ(result.tokens[0], c.token)
            << "temperature " << c.temperature << ", top " << c.topK << ", draw " << c.draw;
        EXPECT_NEAR(result.logProbs[0], logSoftmax(threeWay(), c.token, c.temperature), 1e-5)
            << "the log probability after the temperature";
    }
}

TEST(TokenSamplerTest, ASeededSourceRepeatsItsSequenceAndFollowsTheDistribution) {
    const MultiArray logits = logitsOf(threeWay());
    GreedyTokenSampler first(Half(1), eot, withTopK(3), seeded(42));
    GreedyTokenSampler second(Half(1), eot, withTopK(3), seeded(42));
    GreedyTokenSampler other(Half(1), eot, withTopK(3), seeded(7));
    std::vector<int> a;
    std::vector<int> b;
    std::vector<int> c;
    std::map<int, int> counts;
    for (int i = 0; i < 3000; ++i) {
        a.push_back(first.update({}, logits, {}).tokens[0]);
        b.push_back(second.update({}, logits, {}).tokens[0]);
        c.push_back(other.update({}, logits, {}).tokens[0]);
        ++counts[a.back()];
    }
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(counts.size(), 3u);
    EXPECT_NEAR(counts[4] / 3000.0, 0.5, 0.04);
    EXPECT_NEAR(counts[1] / 3000.0, 0.3, 0.04);
    EXPECT_NEAR(counts[7] / 3000.0, 0.2, 0.04);
}

TEST(TokenSamplerTest, ATokenHoldingAlmostAllTheProbabilityWinsAtAnyTemperature) {
    std::vector<float> values(1000, 0);
    values[3] = 30;
    for (const float temperature : {0.0f, 0.2f, 0.6f, 1.0f}) {
        for (const float draw : {0.0f, 0.5f, 0.9999f}) {
            GreedyTokenSampler sampler(temperature, eot, withTopK(5), fixedDraw(draw));
            EXPECT_EQ(sampler.update({}, logitsOf(values), {}).tokens, std::vector<int>{3})
                << temperature << " " << draw;
        }
    }
}

TEST(TokenSamplerTest, TheEndTokenCompletesTheSequence) {
    std::vector<float> values(12, 0);
    values[eot] = 5;
    GreedyTokenSampler sampler(0, eot, DecodingOptions());
    const SamplingResult result = sampler.update({11, 3}, logitsOf(values), {0, -0.5f});
    EXPECT_EQ(result.tokens, (std::vector<int>{11, 3, eot}));
    EXPECT_EQ(result.logProbs.size(), 3u);
    EXPECT_EQ(result.logProbs[1], -0.5f);
    EXPECT_TRUE(result.completed);
}

TEST(TokenSamplerTest, FinalizeEndsEverySequenceWithTheEndToken) {
    GreedyTokenSampler sampler(0, eot, DecodingOptions());
    const std::vector<std::pair<SamplingResult, SamplingResult>> cases = {
        {{{11, 3, eot}, {0, -1, -2}}, {{11, 3, eot}, {0, -1, -2}, true}},
        {{{11, 3}, {0, -1}}, {{11, 3, eot}, {0, -1, 0}, true}},
        {{{}, {}}, {{eot}, {0}, true}},
    };
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(sampler.finalize(given.tokens, given.logProbs), expected);
    }
}

TEST(TokenSamplerTest, LogitsWithNothingToChooseAreRefused) {
    const auto failsToDecode = [](GreedyTokenSampler sampler, const MultiArray& logits) {
        try {
            sampler.update({}, logits, {});
        } catch (const WhisperError& error) {
            return error.kind() == WhisperError::Kind::decodingFailed;
        }
        return false;
    };
    const MultiArray suppressed = logitsOf(std::vector<float>(8, minusInfinity));
    EXPECT_TRUE(failsToDecode(GreedyTokenSampler(0, eot, DecodingOptions()), suppressed));
    EXPECT_TRUE(failsToDecode(GreedyTokenSampler(1, eot, DecodingOptions()), suppressed));
    EXPECT_TRUE(failsToDecode(GreedyTokenSampler(0, eot, DecodingOptions()), logitsOf({})));
    EXPECT_TRUE(failsToDecode(GreedyTokenSampler(1, eot, withTopK(0)), logitsOf(threeWay())));
    // Not a number counts as impossible, never as the likeliest.
    std::vector<float> withNaN = threeWay();
    withNaN[0] = std::nanf("");
    EXPECT_EQ(GreedyTokenSampler(0, eot, DecodingOptions()).update({}, logitsOf(withNaN), {}).tokens,
              std::vector<int>{4});
}

TEST(TokenSamplerTest, BeamSearchChecksItsSettingsAndSamplesNothing) {
    BeamSearchTokenSampler sampler(5, eot, 1.5f);
    EXPECT_EQ(sampler.maxCandidates, 7);
    sampler.finishedSequences = {1, 2};
    sampler.reset();
    EXPECT_TRUE(sampler.finishedSequences.empty());
    EXPECT_THROW(sampler.update({}, logitsOf(threeWay()), {}), WhisperError);
    EXPECT_THROW(sampler.finalize({}, {}), WhisperError);

    struct Refused {
        int beamSize;
        float patience;
        const char* message;
    };
    for (const Refused& c : std::vector<Refused>{{0, 1.5f, "Invalid beam size 0 or patience 1.5"},
                                                 {3, 0.2f, "Invalid beam size 3 or patience 0.2"},
                                                 {-2, 1, "Invalid beam size -2 or patience 1.0"}}) {
        try {
            BeamSearchTokenSampler refused(c.beamSize, eot, c.patience);
            ADD_FAILURE() << "accepted " << c.message;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
}

} // namespace
