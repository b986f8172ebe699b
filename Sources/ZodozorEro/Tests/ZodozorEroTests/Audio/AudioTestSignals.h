#pragma once

// Signals built for the audio tests, and measures that read a signal's frequency and level back without
// comparing resampled samples to fixed values.

#include "System/Audio/AudioPCMBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace AudioTestSignals {

inline std::vector<float> sine(double hertz, double amplitude, double sampleRate, std::size_t frames,
                               std::size_t startFrame = 0) {
    std::vector<float> samples(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        samples[i] =
            float(amplitude * std::sin(2 * std::numbers::pi * hertz * double(startFrame + i) / sampleRate));
    }
    return samples;
}

// One run of a signal: `seconds` of a 440 Hz tone at `amplitude` (0 for silence).
struct Run {
    double seconds;
    double amplitude;
};

// Runs of tone and silence, back to back (16 kHz unless another rate is given).
inline std::vector<float> bursts(const std::vector<Run>& runs, double sampleRate = 16'000) {
    std::vector<float> samples;
    for (const Run& run : runs) {
        const auto frames = std::size_t(std::llround(run.seconds * sampleRate));
        const auto part = sine(440, run.amplitude, sampleRate, frames, samples.size());
        samples.insert(samples.end(), part.begin(), part.end());
    }
    return samples;
}

// The frequency of a steady tone, from its rising zero crossings (interpolated between samples).
inline double frequency(const std::vector<float>& samples, double sampleRate) {
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            const double at = double(i - 1) + double(-samples[i - 1]) / double(samples[i] - samples[i - 1]);
            if (first < 0) {
                first = at;
            }
            last = at;
            ++crossings;
        }
    }
    return crossings < 2 ? 0 : double(crossings - 1) * sampleRate / (last - first);
}

// The peak amplitude of a steady tone: its RMS times the square root of 2.
inline double amplitude(const std::vector<float>& samples) {
    double sum = 0;
    for (float sample : samples) {
        sum += double(sample) * sample;
    }
    return samples.empty() ? 0 : std::sqrt(sum / double(samples.size())) * std::numbers::sqrt2;
}

// The middle of a signal, away from the edges where a resampler's filter settles.
inline std::vector<float> middle(const std::vector<float>& samples, std::size_t margin) {
    if (samples.size() <= 2 * margin) {
        return {};
    }
    return {samples.begin() + std::ptrdiff_t(margin), samples.end() - std::ptrdiff_t(margin)};
}

inline System::Audio::AudioPCMBuffer buffer(double sampleRate,
                                            const std::vector<std::vector<float>>& planes) {
    const auto format = System::Audio::AudioFormat::make(sampleRate, std::uint32_t(planes.size())).value();
    auto made =
        System::Audio::AudioPCMBuffer::make(format, std::uint32_t(std::max<std::size_t>(1, planes[0].size())))
            .value();
    for (std::size_t c = 0; c < planes.size(); ++c) {
        std::copy(planes[c].begin(), planes[c].end(), made.channelData(std::uint32_t(c)));
    }
    made.setFrameLength(std::uint32_t(planes[0].size()));
    return made;
}

inline std::vector<float> plane(const System::Audio::AudioPCMBuffer& buffer, std::uint32_t channel = 0) {
    return {buffer.channelData(channel), buffer.channelData(channel) + buffer.frameLength()};
}

} // namespace AudioTestSignals
