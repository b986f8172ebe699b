// The recorder's conversion path: one 1024-frame block from a 48 kHz stereo microphone through the capture
// buffer (resampling to 16 kHz mono, collecting, streaming as a chunk), on one core. The "realtime" counter
// is seconds of audio converted per second: the target is at least 200.
#include "TessarinPlatform/Audio/CaptureBuffer.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>

namespace {

using System::Audio::AudioFormat;
using System::Audio::AudioPCMBuffer;

void recorderConversion(benchmark::State& state, AudioFormat input) {
    // Speech-like input: a few partials, different on each channel.
    auto block = AudioPCMBuffer::make(input, 1024).value();
    for (std::uint32_t c = 0; c < input.channelCount; ++c) {
        for (std::uint32_t i = 0; i < 1024; ++i) {
            const double t = double(i) / input.sampleRate;
            block.channelData(c)[i] = float(0.3 * std::sin(2 * std::numbers::pi * (220 + 40 * c) * t) +
                                            0.1 * std::sin(2 * std::numbers::pi * 1'870 * t));
        }
    }
    block.setFrameLength(1024);

    TessarinPlatform::CaptureBuffer capture;
    auto stream = capture.begin(input);
    std::int64_t blocks = 0;
    for (auto _ : state) {
        capture.append(block);
        // A recording is at most a few minutes: start a new one every minute of audio, as dictations do.
        if (++blocks % 2'800 == 0) {
            capture.end();
            stream = capture.begin(input);
        }
    }
    capture.end();
    const double audioSeconds = double(blocks) * 1024 / input.sampleRate;
    state.counters["realtime"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK_CAPTURE(recorderConversion, stereo48k, AudioFormat{48'000, 2});
BENCHMARK_CAPTURE(recorderConversion, stereo44k1, AudioFormat{44'100, 2});
BENCHMARK_CAPTURE(recorderConversion, mono16k, AudioFormat{16'000, 1});
