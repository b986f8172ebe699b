#pragma once

// Speech for recognition tests: a sentence as espeak-ng speaks it, converted by sox, with a microphone's noise
// floor when asked for, and how far the words a recognizer heard are from the sentence's.

#include "System/Tests/FileTesting/Sox.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace System::AudioTesting {

// `sentence` as espeak-ng's default voice speaks it, as interleaved 16-bit samples at `rate` with `channels`
// channels. The speech starts and ends in exact zeros, as a virtual microphone or one with a noise gate
// delivers it.
inline std::vector<std::int16_t> spokenSentence(const std::filesystem::path& folder, const std::string& sentence,
                                                int rate, int channels) {
    const auto quoted = [](const std::filesystem::path& path) { return FileTesting::quoted(path); };
    const auto wav = folder / "spoken.wav";
    const auto raw = folder / "spoken.raw";
    FileTesting::runCommand("espeak-ng -w " + quoted(wav) + " " + quoted(sentence));
    // -D: sox would dither the conversion with fresh random noise on every run, and the speech would not be
    // clean, nor the same twice.
    FileTesting::runCommand("sox -D " + quoted(wav) + " -r " + std::to_string(rate) + " -c " +
                            std::to_string(channels) + " -b 16 -e signed-integer -t raw " + quoted(raw));
    std::ifstream file(raw, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
    std::vector<std::int16_t> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = std::int16_t(std::uint8_t(bytes[2 * i]) | (std::uint8_t(bytes[2 * i + 1]) << 8));
    }
    return samples;
}

// `count` samples of exact digital silence.
inline std::vector<std::int16_t> digitalSilence(std::size_t count) {
    return std::vector<std::int16_t>(count, 0);
}

// Mixes a steady white noise floor at `dBFS` (−60: a quiet room through a real microphone) into `samples`,
// the same for every run.
inline void addNoiseFloor(std::vector<std::int16_t>& samples, double dBFS) {
    std::mt19937 generator(7);
    std::normal_distribution<double> noise(0.0, 32'767.0 * std::pow(10.0, dBFS / 20.0));
    for (auto& sample : samples) {
        const long mixed = long(sample) + std::lround(noise(generator));
        sample = std::int16_t(std::clamp(mixed, -32'768L, 32'767L));
    }
}

inline std::vector<std::string> words(const std::string& text) {
    std::istringstream stream(text);
    return {std::istream_iterator<std::string>(stream), {}};
}

// The word error rate of `heard` against `reference`: the fewest words substituted, deleted and inserted to
// turn one into the other, over the reference's word count.
inline double wordErrorRate(const std::string& reference, const std::string& heard) {
    const auto expected = words(reference);
    const auto got = words(heard);
    std::vector<std::size_t> previous(got.size() + 1);
    std::vector<std::size_t> current(got.size() + 1);
    for (std::size_t j = 0; j <= got.size(); ++j) {
        previous[j] = j;
    }
    for (std::size_t i = 1; i <= expected.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= got.size(); ++j) {
            const std::size_t substitution = previous[j - 1] + (expected[i - 1] == got[j - 1] ? 0 : 1);
            current[j] = std::min({substitution, previous[j] + 1, current[j - 1] + 1});
        }
        std::swap(previous, current);
    }
    return expected.empty() ? double(got.size()) : double(previous[got.size()]) / double(expected.size());
}

} // namespace System::AudioTesting
