// One decoded token of a base-size Whisper decoder (width 512, 6 layers, 8 heads, vocabulary 51865, a cache
// of 224 positions) over a full encoder output of 1500 frames, set against the bound that memory sets:
// reading once, at the bandwidth measured in the same run with as many threads, every weight that a token
// reads (all but the cross-attention key and value projections, which are read once per encoder output). A
// token costs a few multiplications per weight, so the decoder is bound by memory, not by arithmetic; the
// target is at most 1.5 times the bound ("ratio" ≤ 1.5) at every thread count, with float32 weights and with
// float16 ones (half the bytes).
//
// Arguments: threads (1 to the processors this process may use, or 0 for the default), 32 or 16 (the weights'
// bits), then busy: the processors that threads of the benchmark's own keep busy while it measures, as
// another program would (see BusyProcessors.h).
// Counters: "ms_per_token", "bound_ms" (weight bytes / bandwidth), "ratio", "weight_MB", "bandwidth_GBps",
// "memo_MB" (the cross-attention keys and values, in the weights' type, also read by every token but not
// counted in the bound), "cache_MB" (the self-attention cache, likewise), and "ratio_all_bytes": the token
// against reading all three once, which tells the time the token loses from the bytes it must read;
// "threads", and "members": those of them that a token's team had on average.
#include "BusyProcessors.h"
#include "System/ML/Compute.h"
#include "System/ML/Model.h"
#include "TinyModelGenerator/TinyModelGenerator.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <numeric>
#include <optional>
#include <unistd.h>

namespace {

using namespace System::ML;

constexpr int cachePositions = 224;
constexpr int frames = 1500;

// Written and loaded once per run of the benchmark.
struct BaseDecoder {
    std::filesystem::path folder;
    std::shared_ptr<Model> model;
    double weightBytes = 0; // that a token reads, in the type the file stores them

    explicit BaseDecoder(SafeTensorsDType weightType)
        : folder(std::filesystem::temp_directory_path() /
                 ("parlindo-bench-" + std::to_string(::getpid()) + "-" + std::string(dtypeName(weightType)) +
                  "-TextDecoder.mlmodelc")) {
        TinyModelGenerator::DecoderOptions options;
        options.vocabularySize = 51865;
        options.width = 512;
        options.layers = 6;
        options.heads = 8;
        options.cachePositions = cachePositions;
        options.encoderPositions = frames;
        options.alignmentHeads = TinyModelGenerator::upperHalfHeads(options.layers, options.heads);
        options.weightType = weightType;
        TinyModelGenerator::writeDecoderModel(folder, options);
        model = Model::load(folder);
        const auto weights = SafeTensors::open(folder / "weights.safetensors");
        for (const auto& [name, info] : weights.tensors()) {
            if (name.find("cross_attn.key.weight") != std::string::npos ||
                name.find("cross_attn.value.weight") != std::string::npos) {
                continue;
            }
            weightBytes += double(info.end - info.begin);
        }
    }
    ~BaseDecoder() { std::filesystem::remove_all(folder); }
    BaseDecoder(const BaseDecoder&) = delete;
    BaseDecoder& operator=(const BaseDecoder&) = delete;
};

// Bytes per second that all threads together read from memory: the best of `passes` passes over a buffer far
// larger than any cache, each thread summing its own part. Integer sums, so that the compiler may add in any
// order and the loop runs at the speed of the reads. The machine is shared, so its bandwidth drifts by tens
// of percent from one minute to the next: each benchmark measures it just before and just after its own
// tokens, and the bound takes the best of both, the bandwidth the machine showed while the tokens ran.
double measuredBandwidth(int passes) {
    static std::vector<std::uint32_t> buffer(std::size_t(128) << 20, 1); // 512 MiB
    double best = 0;
    for (int pass = 0; pass < passes; ++pass) {
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
}

BaseDecoder& decoderWith(SafeTensorsDType weightType) {
    static std::map<SafeTensorsDType, std::unique_ptr<BaseDecoder>> decoders;
    auto& decoder = decoders[weightType];
    if (!decoder) {
        decoder = std::make_unique<BaseDecoder>(weightType);
    }
    return *decoder;
}

void decodeOneToken(benchmark::State& state) {
    if (state.range(0) == 0) {
        Compute::useDefaultThreads();
    } else {
        Compute::setThreads(int(state.range(0)));
    }
    const BaseDecoder& decoder =
        decoderWith(state.range(1) == 16 ? SafeTensorsDType::F16 : SafeTensorsDType::F32);
    double bandwidth = measuredBandwidth(5);
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
    double members = 0;
    std::optional<BusyProcessors> busy(std::in_place, int(state.range(2)));
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        ids.setValue(0, token);
        token = (token + 7919) % 51865;
        benchmark::DoNotOptimize(decoder.model->predict(inputs));
        members += Compute::teamMembers();
    }
    const double perToken = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                            double(std::max<benchmark::IterationCount>(state.iterations(), 1));
    busy.reset();
    bandwidth = std::max(bandwidth, measuredBandwidth(5));
    const double boundSeconds = decoder.weightBytes / bandwidth;
    state.counters["weight_MB"] = decoder.weightBytes / 1e6;
    state.counters["bandwidth_GBps"] = bandwidth / 1e9;
    state.counters["bound_ms"] = boundSeconds * 1e3;
    state.counters["ms_per_token"] = perToken * 1e3;
    state.counters["ratio"] = perToken / boundSeconds;
    // The memo is float16 when the weights are.
    const double memoBytes = 2.0 * 6 * 512 * frames * (state.range(1) == 16 ? 2 : 4);
    const double cacheBytes = double(keyCache.byteCount() + valueCache.byteCount());
    state.counters["memo_MB"] = memoBytes / 1e6;
    state.counters["cache_MB"] = cacheBytes / 1e6;
    state.counters["ratio_all_bytes"] = perToken * bandwidth / (decoder.weightBytes + memoBytes + cacheBytes);
    state.counters["threads"] = Compute::threads();
    state.counters["members"] = members / double(std::max<benchmark::IterationCount>(state.iterations(), 1));
}

void threadCounts(benchmark::internal::Benchmark* bench) {
    for (const int busy : {0, 1}) {
        for (const int bits : {32, 16}) {
            for (int threads = 0; threads <= Compute::defaultThreads(); ++threads) {
                bench->Args({threads, bits, busy});
            }
        }
    }
}

BENCHMARK(decodeOneToken)
    ->ArgNames({"threads", "bits", "busy"})
    ->Apply(threadCounts)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

} // namespace
