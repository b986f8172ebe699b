// The front stages of the model runtime on random models: the log-mel kind on 30 s of audio on one thread
// (counter "x_realtime": seconds of audio per second), and the encoder of the base size on every processor
// (argument 0) and on one thread (argument 1)
// (counters "GFLOPS"; "sgemm_GFLOPS", the rate of OpenBLAS's own threaded sgemm on the encoder's product
// shapes, measured in the same run; and "of_sgemm", the encoder's rate as a fraction of it).

#include "System/ML/Compute.h"
#include "System/ML/Model.h"
#include "TinyModelGenerator/TinyModelGenerator.h"

#include <benchmark/benchmark.h>
#include <cblas.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace System::ML;

// Model folders written once per run and removed at its end.
class Models {
public:
    Models()
        : folder_(fs::temp_directory_path() / ("model-runtime-bench-" + std::to_string(getpid()))) {
        fs::create_directories(folder_);
    }
    ~Models() { fs::remove_all(folder_); }
    fs::path path(const std::string& name) const { return folder_ / name; }

private:
    fs::path folder_;
};

Models& models() {
    static Models instance;
    return instance;
}

void logMel30Seconds(benchmark::State& state) {
    Compute::setThreads(1);
    const auto path = models().path("MelSpectrogram.mlmodelc");
    TinyModelGenerator::writeLogMelModel(path);
    const auto model = Model::load(path);
    const auto noise = TinyModelGenerator::RandomWeights(3).uniform(480000, -0.3f, 0.3f);
    DictionaryFeatureProvider input({{"audio", MultiArray::withValues<float>({480000}, noise)}});
    for (auto _ : state) {
        benchmark::DoNotOptimize(model->predict(input));
    }
    state.counters["x_realtime"] =
        benchmark::Counter(30.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(logMel30Seconds)->Unit(benchmark::kMillisecond)->UseRealTime();

struct Product {
    int m, n, k;
    bool transposeB;
    int count; // per encoder pass
};

// The products of one encoder pass: conv1, conv2, then per layer qkv, scores and mixing per head, out, fc1,
// fc2.
std::vector<Product> encoderProducts(int mels, int width, int layers, int heads, int positions) {
    const int frames = 2 * positions;
    const int d = width / heads;
    return {
        {frames, width, 3 * mels, true, 1},
        {positions, width, 3 * width, true, 1},
        {positions, 3 * width, width, true, layers},
        {positions, positions, d, true, layers * heads},
        {positions, d, positions, false, layers * heads},
        {positions, width, width, true, layers},
        {positions, 4 * width, width, true, layers},
        {positions, width, 4 * width, true, layers},
    };
}

double flops(const std::vector<Product>& products) {
    double total = 0;
    for (const auto& p : products) {
        total += 2.0 * p.m * p.n * p.k * p.count;
    }
    return total;
}

// OpenBLAS's own sgemm, threaded by OpenBLAS over `threads` threads, on the same product shapes (sizes and
// transposes) as one encoder pass, as a rate in FLOP/s: the best of a few timed rounds.
double sgemmRate(const std::vector<Product>& products, int threads) {
    openblas_set_num_threads(threads);
    std::vector<std::vector<float>> a, b, c;
    for (const auto& p : products) {
        a.emplace_back(std::size_t(p.m) * p.k, 0.5f);
        b.emplace_back(std::size_t(p.k) * p.n, 0.25f);
        c.emplace_back(std::size_t(p.m) * p.n, 0.0f);
    }
    double best = 0;
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < products.size(); ++i) {
            const auto& p = products[i];
            for (int r = 0; r < p.count; ++r) {
                cblas_sgemm(CblasRowMajor, CblasNoTrans, p.transposeB ? CblasTrans : CblasNoTrans, p.m, p.n,
                            p.k, 1.0f, a[i].data(), p.k, b[i].data(), p.transposeB ? p.k : p.n, 0.0f,
                            c[i].data(), p.n);
            }
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        best = std::max(best, flops(products) / elapsed.count());
    }
    openblas_set_num_threads(1); // the runtime splits products over its own threads
    return best;
}

void encoderBase(benchmark::State& state) {
    // Argument 0: every processor; otherwise that many threads.
    const int threads =
        state.range(0) > 0 ? int(state.range(0)) : int(std::max(1u, std::thread::hardware_concurrency()));
    Compute::setThreads(threads);
    TinyModelGenerator::EncoderOptions options;
    options.melCount = 80;
    options.width = 512;
    options.layers = 6;
    options.heads = 8;
    options.positions = 1500;
    const auto path = models().path("AudioEncoder.mlmodelc");
    TinyModelGenerator::writeEncoderModel(path, options);
    const auto model = Model::load(path);
    const auto mel = TinyModelGenerator::RandomWeights(5).uniform(80 * 3000, -1.5f, 1.5f);
    DictionaryFeatureProvider input(
        {{"melspectrogram_features", MultiArray::withValues<float>({1, 80, 1, 3000}, mel)}});
    const auto products = encoderProducts(80, 512, 6, 8, 1500);
    // The reference is the best of two measurements, before and after the encoder, so that a busy moment of
    // the machine does not flatter the fraction. OpenBLAS's own threads spin for a while after a product;
    // they are given a second to fall asleep before the encoder runs.
    const double sgemmBefore = sgemmRate(products, threads);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    model->predict(input); // warm the caches
    double busy = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(model->predict(input));
        busy += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const double rate = flops(products) * double(state.iterations()) / busy;
    const double sgemm = std::max(sgemmBefore, sgemmRate(products, threads));
    state.counters["GFLOPS"] = rate * 1e-9;
    state.counters["sgemm_GFLOPS"] = sgemm * 1e-9;
    state.counters["of_sgemm"] = rate / sgemm;
    state.counters["threads"] = Compute::threads();
}
BENCHMARK(encoderBase)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5.0);

} // namespace
