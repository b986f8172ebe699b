// The Whisper front end's file path: ten minutes of 44.1 kHz stereo FLAC loaded and resampled to 16 kHz mono
// samples, on one core. The "realtime" counter is seconds of audio loaded per second: the target is at least
// 300.
#include "System/Audio/AudioFileWriter.h"
#include "System/Log/Logger.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <unistd.h>

namespace {

constexpr int rate = 44'100;
constexpr double seconds = 600;

// Removes the file when the program ends.
struct TemporaryFile {
    std::string path;
    ~TemporaryFile() { std::filesystem::remove(path); }
};

// Speech-like partials, different on each channel, written once per run of the benchmark.
const std::string& tenMinuteFlac() {
    static const TemporaryFile file{[] {
        const auto file = std::filesystem::temp_directory_path() /
                          ("parlindo-bench-" + std::to_string(::getpid()) + "-ten-minutes.flac");
        const auto frames = std::size_t(seconds * rate);
        std::vector<std::vector<float>> planes(2, std::vector<float>(frames));
        for (std::size_t c = 0; c < 2; ++c) {
            for (std::size_t i = 0; i < frames; ++i) {
                const double t = double(i) / rate;
                planes[c][i] = float(0.3 * std::sin(2 * std::numbers::pi * (220 + 40 * double(c)) * t) +
                                     0.1 * std::sin(2 * std::numbers::pi * 1'870 * t) *
                                         std::sin(2 * std::numbers::pi * 0.7 * t));
            }
        }
        System::Audio::writeAudioFile(file, System::Audio::AudioFileEncoding::flacInt16, rate, planes);
        return file.string();
    }()};
    return file.path;
}

void loadTenMinutesOfStereoFlac(benchmark::State& state) {
    const std::string& path = tenMinuteFlac();
    System::Log::CaptureSink quiet; // the loader logs at debug level; keep the terminal for the results
    std::size_t samples = 0;
    for (auto _ : state) {
        const auto loaded = ZodozorEro::AudioProcessor::loadAudioAsFloatArray(path);
        samples = loaded.size();
        benchmark::DoNotOptimize(loaded.data());
    }
    state.counters["samples"] = double(samples);
    state.counters["realtime"] =
        benchmark::Counter(seconds * double(state.iterations()), benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(loadTenMinutesOfStereoFlac)->Unit(benchmark::kMillisecond)->UseRealTime();
