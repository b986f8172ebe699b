// The pure algorithms of the dictation finishing road, on the longest recording the settings allow
// (5 minutes). Each reports "audioSeconds": seconds of audio (or of dictated speech) handled per second of
// work, that is how many times faster than real time it runs.

#include "TessarinCore/UseCases/SilenceTrimmer.h"
#include "TessarinCore/UseCases/TranscriptPostProcessor.h"
#include "TessarinCore/UseCases/WavEncoder.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>

namespace {

using TessarinCore::AudioClip;
using TessarinCore::Duration;

constexpr double clipSeconds = 300;

// Background noise with bursts of a louder, speech-like tone: 2 s of speech, then 1 s of pause.
const AudioClip& fiveMinuteClip() {
    static const AudioClip clip = [] {
        std::mt19937 random(42);
        std::normal_distribution<float> noise(0.0f, 0.001f);
        AudioClip result;
        const auto count = static_cast<std::size_t>(clipSeconds * AudioClip::sampleRate);
        result.samples.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const bool speaking = (i / AudioClip::sampleRate) % 3 != 2;
            const float voice =
                speaking ? 0.2f * std::sin(2.0f * 3.14159265f * 220.0f * static_cast<float>(i) / 16000.0f)
                         : 0.0f;
            result.samples[i] = voice + noise(random);
        }
        return result;
    }();
    return clip;
}

// About 5 minutes of dictation (some 750 words at 150 a minute), in English and Arabic, with the tags and
// odd whitespace that engines produce.
const std::string& fiveMinuteTranscript() {
    static const std::string text = [] {
        const std::string sentences[] = {
            "So the plan for next week is to finish the report, review the budget and call the supplier. ",
            "[Music] Please remind me to send the invoice before Friday,   and book a room for the "
            "meeting.\n",
            "<|en|>The café on the corner opens at seven; we could meet there at half past eight. ",
            "مرحبا، أريد أن أحجز طاولة لشخصين مساء الغد في الساعة الثامنة. ",
            "Thank you for the update —  I will read it tonight and answer tomorrow morning.\t",
        };
        std::string result;
        while (result.size() < 4500) {
            for (const std::string& sentence : sentences) {
                result += sentence;
            }
        }
        return result;
    }();
    return text;
}

const TessarinCore::SilenceTrimmer systemTrimmer{
    Duration::milliseconds(20), 2.5f, 0.003f, 0.01f, Duration::milliseconds(200),
    Duration::milliseconds(200)};

void setRealTimeFactor(benchmark::State& state, double seconds) {
    state.counters["audioSeconds"] =
        benchmark::Counter(seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_SilenceTrimmerTrim(benchmark::State& state) {
    const AudioClip& clip = fiveMinuteClip();
    for (auto _ : state) {
        benchmark::DoNotOptimize(systemTrimmer.trim(clip));
    }
    setRealTimeFactor(state, clipSeconds);
}
BENCHMARK(BM_SilenceTrimmerTrim)->Unit(benchmark::kMillisecond);

void BM_SilenceTrimmerPeakLevel(benchmark::State& state) {
    const AudioClip& clip = fiveMinuteClip();
    for (auto _ : state) {
        benchmark::DoNotOptimize(systemTrimmer.peakLevel(clip));
    }
    setRealTimeFactor(state, clipSeconds);
}
BENCHMARK(BM_SilenceTrimmerPeakLevel)->Unit(benchmark::kMillisecond);

void BM_WAVEncoderEncode(benchmark::State& state) {
    const AudioClip& clip = fiveMinuteClip();
    for (auto _ : state) {
        benchmark::DoNotOptimize(TessarinCore::WAVEncoder::encode(clip));
    }
    setRealTimeFactor(state, clipSeconds);
}
BENCHMARK(BM_WAVEncoderEncode)->Unit(benchmark::kMillisecond);

void BM_TranscriptPostProcessorProcess(benchmark::State& state) {
    const TessarinCore::TranscriptPostProcessor processor;
    const std::string& transcript = fiveMinuteTranscript();
    for (auto _ : state) {
        benchmark::DoNotOptimize(processor.process(transcript, false));
    }
    setRealTimeFactor(state, clipSeconds);
    state.SetBytesProcessed(static_cast<std::int64_t>(transcript.size() * state.iterations()));
}
BENCHMARK(BM_TranscriptPostProcessorProcess)->Unit(benchmark::kMicrosecond);

} // namespace
