// One decoded token of a base-size Whisper decoder (width 512, 6 layers, 8 heads, vocabulary 51865, a cache
// of 224 positions) over a full encoder output of 1500 frames, set against the bound that memory sets:
// reading every weight once at the bandwidth measured in the same run. A token costs a few multiplications
// per weight, so the decoder is bound by memory, not by arithmetic; the target is at most twice the bound
// ("ratio" ≤ 2).
//
// Counters: "ms_per_token", "bound_ms" (weight bytes / bandwidth), "ratio", "weight_MB", "bandwidth_GBps".
// PARLINDO_ML_THREADS sets the threads, as for the program.
#include "System/ML/Compute.h"
#include "System/ML/Model.h"
#include "TinyModelGenerator/TinyModelGenerator.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <numeric>
#include <unistd.h>

namespace {

using namespace System::ML;

constexpr int cachePositions = 224;
constexpr int frames = 1500;

// Written and loaded once per run of the benchmark.
struct BaseDecoder {
    std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                   ("parlindo-bench-" + std::to_string(::getpid()) + "-TextDecoder.mlmodelc");
    std::shared_ptr<Model> model;
    double weightBytes = 0; // as the kind holds them: float32

    BaseDecoder() {
        TinyModelGenerator::DecoderOptions options;
        options.vocabularySize = 51865;
        options.width = 512;
        options.layers = 6;
        options.heads = 8;
        options.cachePositions = cachePositions;
        options.encoderPositions = frames;
        options.alignmentHeads = TinyModelGenerator::upperHalfHeads(options.layers, options.heads);
        TinyModelGenerator::writeDecoderModel(folder, options);
        model = Model::load(folder);
        const auto weights = SafeTensors::open(folder / "weights.safetensors");
        for (const auto& [name, info] : weights.tensors()) {
            weightBytes +=
                4.0 * double(std::accumulate(info.shape.begin(), info.shape.end(), 1.0, std::multiplies<>()));
        }
    }
    ~BaseDecoder() { std::filesystem::remove_all(folder); }
    BaseDecoder(const BaseDecoder&) = delete;
    BaseDecoder& operator=(const BaseDecoder&) = delete;
};

// Bytes per second that all threads together read from memory: the best of a few passes over a buffer far
// larger than any cache, each thread summing its own part. Integer sums, so that the compiler may add in any
// order and the loop runs at the speed of the reads.
double measuredBandwidth() {
    static const double bandwidth = [] {
        std::vector<std::uint32_t> buffer(std::size_t(128) << 20, 1); // 512 MiB
        double best = 0;
        for (int pass = 0; pass < 5; ++pass) {
            std::atomic<std::uint32_t> total{0};
            const auto start = std::chrono::steady_clock::now();
            Compute::parallelFor(buffer.size(), buffer.size() / std::size_t(4 * Compute::threads()),
                                 [&](std::size_t begin, std::size_t end) {
                                     std::uint32_t sum = 0;
                                     for (std::size_t i = begin; i < end; ++i) {
                                         sum += buffer[i];
                                     }
                                     total.fetch_add(sum);
                                 });
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            benchmark::DoNotOptimize(total.load());
            best = std::max(best, double(buffer.size() * sizeof(std::uint32_t)) / seconds);
        }
        return best;
    }();
    return bandwidth;
}

void memoryBandwidth(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(measuredBandwidth());
    }
    state.counters["bandwidth_GBps"] = measuredBandwidth() / 1e9;
    state.counters["threads"] = Compute::threads();
}

void decodeOneToken(benchmark::State& state) {
    static BaseDecoder decoder;
    const double bandwidth = measuredBandwidth();
    const int channels = 6 * 512;
    MultiArray encoder = MultiArray::withValues<float>(
        {1, 512, 1, frames}, TinyModelGenerator::RandomWeights(3).normal(std::size_t(512) * frames, 1.0f));
    MultiArray keyCache({1, channels, 1, cachePositions}, MultiArrayDataType::float32);
    MultiArray valueCache({1, channels, 1, cachePositions}, MultiArrayDataType::float32);
    MultiArray updateMask({1, cachePositions}, MultiArrayDataType::int32);
    MultiArray paddingMask({1, cachePositions}, MultiArrayDataType::float32);
    MultiArray ids({1}, MultiArrayDataType::int32);
    MultiArray length({1}, MultiArrayDataType::int32);
    const DictionaryFeatureProvider inputs({{"input_ids", ids},
                                            {"cache_length", length},
                                            {"key_cache", keyCache},
                                            {"value_cache", valueCache},
                                            {"kv_cache_update_mask", updateMask},
                                            {"encoder_output_embeds", encoder},
                                            {"decoder_key_padding_mask", paddingMask}});
    // Half the cache in use, as in the middle of a window; the cross-attention memo filled by a first token.
    const int position = cachePositions / 2;
    for (int j = 0; j < cachePositions; ++j) {
        updateMask.setValue(std::size_t(j), j == position ? 1 : 0);
        paddingMask.setValue(std::size_t(j), j <= position ? 0 : -10000);
    }
    length.setValue(0, position);
    decoder.model->predict(inputs);

    int token = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        ids.setValue(0, token);
        token = (token + 7919) % 51865;
        benchmark::DoNotOptimize(decoder.model->predict(inputs));
    }
    const double perToken = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                            double(std::max<benchmark::IterationCount>(state.iterations(), 1));
    const double boundSeconds = decoder.weightBytes / bandwidth;
    state.counters["weight_MB"] = decoder.weightBytes / 1e6;
    state.counters["bandwidth_GBps"] = bandwidth / 1e9;
    state.counters["bound_ms"] = boundSeconds * 1e3;
    state.counters["ms_per_token"] = perToken * 1e3;
    state.counters["ratio"] = perToken / boundSeconds;
}

BENCHMARK(memoryBandwidth)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(decodeOneToken)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

} // namespace
