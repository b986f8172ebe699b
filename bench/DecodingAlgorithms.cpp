// The per-token cost of the logits filters and the sampler on a full multilingual vocabulary, and the cost of
// aligning one window's tokens to its 1500 audio frames.

#include <algorithm>
#include <random>

#include <benchmark/benchmark.h>

#include "ZodozorEro/Core/ControlTokens.h"
#include "ZodozorEro/Core/Text/LogitsFilter.h"
#include "ZodozorEro/Core/Text/SegmentSeeker.h"
#include "ZodozorEro/Core/Text/TokenSampler.h"

namespace {

using System::ML::MultiArray;
using System::ML::MultiArrayDataType;

constexpr int vocabulary = 51865;

MultiArray randomArray(std::vector<int> shape, float scale) {
    MultiArray array(std::move(shape), MultiArrayDataType::float16);
    std::mt19937 engine(7);
    std::normal_distribution<float> normal(0, scale);
    for (auto& value : array.mutableValues<System::ML::Half>()) {
        value = normal(engine);
    }
    return array;
}

// One decoding step after the prompt and a few sampled tokens: the timestamp rules and a suppression list,
// then a greedy or a top-5 temperature sample.
void filterAndSample(benchmark::State& state) {
    const ZodozorEro::SpecialTokens specialTokens;
    const MultiArray original = randomArray({1, 1, vocabulary}, 3);
    const ZodozorEro::TimestampRulesFilter rules(specialTokens, 4, std::nullopt, true);
    const ZodozorEro::SuppressTokensFilter suppress(
        {1, 2, 7, 8, 9, 10, 14, 25, 26, 27, 28, 29, 31, 58, 59, 60});
    const std::vector<int> tokens = {50258, 50259, 50359, 50364, 440, 1500, 2000};
    ZodozorEro::GreedyTokenSampler sampler(static_cast<float>(state.range(0)) / 10, specialTokens.endToken,
                                           {});
    MultiArray logits = original.copy();
    const auto source = original.values<System::ML::Half>();
    for (auto _ : state) {
        // Fresh logits for every step, as the model gives them; the copy is a small part of the time.
        std::copy(source.begin(), source.end(), logits.mutableValues<System::ML::Half>().begin());
        suppress.filterLogits(logits, tokens);
        rules.filterLogits(logits, tokens);
        benchmark::DoNotOptimize(sampler.update(tokens, logits, std::vector<float>(tokens.size(), 0)));
    }
}
BENCHMARK(filterAndSample)->Arg(0)->Arg(5)->Unit(benchmark::kMicrosecond);

// The time warping over a window of N tokens and 1500 frames.
void timeWarping(benchmark::State& state) {
    const MultiArray weights = randomArray({static_cast<int>(state.range(0)), 1500}, 1);
    const ZodozorEro::SegmentSeeker seeker;
    for (auto _ : state) {
        benchmark::DoNotOptimize(seeker.dynamicTimeWarping(weights));
    }
}
BENCHMARK(timeWarping)->Arg(32)->Arg(224)->Unit(benchmark::kMillisecond);

} // namespace
