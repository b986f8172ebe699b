#include "System/Audio/AudioConverter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

using namespace System::Audio;

namespace {

const AudioFormat stereo48k{48'000, 2};
const AudioFormat mono16k{16'000, 1};

// `frames` of a sine per channel; channel c gets amplitude amplitudes[c].
AudioPCMBuffer sine(AudioFormat format, std::uint32_t frames, std::uint64_t startFrame, double hertz,
                    std::vector<float> amplitudes) {
    auto buffer = AudioPCMBuffer::make(format, frames).value();
    for (std::uint32_t c = 0; c < format.channelCount; ++c) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            const double t = double(startFrame + i) / format.sampleRate;
            buffer.channelData(c)[i] = amplitudes[c] * float(std::sin(2 * std::numbers::pi * hertz * t));
        }
    }
    buffer.setFrameLength(frames);
    return buffer;
}

std::vector<float> drain(AudioConverter& converter) {
    auto output = AudioPCMBuffer::make(converter.outputFormat(), 4096).value();
    auto result = converter.convert(output, [](ConverterInputStatus& status) -> const AudioPCMBuffer* {
        status = ConverterInputStatus::endOfStream;
        return nullptr;
    });
    EXPECT_EQ(result.status, ConverterOutputStatus::endOfStream);
    return {output.channelData(0), output.channelData(0) + output.frameLength()};
}

// Feeds `blocks` blocks of `blockFrames` frames of a 440 Hz sine and returns all mono output, tail included.
std::vector<float> convertInBlocks(std::uint32_t blockFrames, int blocks) {
    auto converter = AudioConverter::make(stereo48k, mono16k);
    converter->setDownmix(true);
    std::vector<float> all;
    for (int b = 0; b < blocks; ++b) {
        auto input = sine(stereo48k, blockFrames, std::uint64_t(b) * blockFrames, 440, {0.5f, 0.5f});
        auto output = AudioPCMBuffer::make(mono16k, blockFrames / 3 + 17).value();
        auto result = converter->convert(output, input);
        EXPECT_NE(result.status, ConverterOutputStatus::error) << result.error;
        all.insert(all.end(), output.channelData(0), output.channelData(0) + output.frameLength());
    }
    auto tail = drain(*converter);
    all.insert(all.end(), tail.begin(), tail.end());
    return all;
}

double rms(const float* samples, std::size_t count) {
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        sum += double(samples[i]) * samples[i];
    }
    return std::sqrt(sum / double(count));
}

} // namespace

TEST(AudioConverterTest, KeepsItsStateAcrossBlocks) {
    // The same signal cut into small blocks or fed in large ones must come out the same: a converter that
    // restarted its filter on every block would click at each block edge.
    const auto small = convertInBlocks(1024, 48);
    const auto large = convertInBlocks(1024 * 16, 3);
    ASSERT_EQ(small.size(), large.size());
    for (std::size_t i = 0; i < small.size(); ++i) {
        ASSERT_NEAR(small[i], large[i], 1e-5) << "at " << i;
    }
    // 48 x 1024 frames at 48 kHz are 16,384 frames at 16 kHz once the tail is flushed.
    EXPECT_NEAR(double(small.size()), 16'384.0, 1.0);
}

TEST(AudioConverterTest, ResamplesWithoutChangingTheSignal) {
    const auto output = convertInBlocks(1024, 48);
    // Skip the filter's settling at both ends; a sine of amplitude 0.5 has an RMS of 0.5 / sqrt(2).
    ASSERT_GT(output.size(), 4000u);
    EXPECT_NEAR(rms(output.data() + 1000, output.size() - 2000), 0.5 / std::numbers::sqrt2, 0.005);
    // Zero crossings of a 440 Hz sine: 880 a second.
    int crossings = 0;
    for (std::size_t i = 1001; i < output.size() - 1000; ++i) {
        crossings += (output[i - 1] < 0) != (output[i] < 0);
    }
    const double seconds = double(output.size() - 2000) / 16'000;
    EXPECT_NEAR(crossings / seconds, 880, 10);
}

TEST(AudioConverterTest, MixesChannelsDownOrKeepsTheFirst) {
    struct Case {
        bool downmix;
        float expected;
    };
    for (const Case& c : {Case{true, 0.3f}, Case{false, 0.5f}}) {
        auto converter = AudioConverter::make(AudioFormat{16'000, 2}, mono16k);
        converter->setDownmix(c.downmix);
        auto input = AudioPCMBuffer::make(AudioFormat{16'000, 2}, 4096).value();
        std::fill_n(input.channelData(0), 4096, 0.5f);
        std::fill_n(input.channelData(1), 4096, 0.1f);
        input.setFrameLength(4096);
        auto output = AudioPCMBuffer::make(mono16k, 4096 + 16).value();
        for (int round = 0; round < 3; ++round) {
            ASSERT_NE(converter->convert(output, input).status, ConverterOutputStatus::error);
        }
        ASSERT_GT(output.frameLength(), 1000u);
        EXPECT_NEAR(output.channelData(0)[output.frameLength() / 2], c.expected, 1e-3)
            << "downmix " << c.downmix;
    }
}

TEST(AudioConverterTest, RejectsABufferInAnotherFormatAndGoesOn) {
    auto converter = AudioConverter::make(stereo48k, mono16k);
    auto output = AudioPCMBuffer::make(mono16k, 400).value();
    auto wrong = sine(AudioFormat{44'100, 2}, 1024, 0, 440, {0.5f, 0.5f});
    auto result = converter->convert(output, wrong);
    EXPECT_EQ(result.status, ConverterOutputStatus::error);
    EXPECT_FALSE(result.error.empty());
    EXPECT_EQ(output.frameLength(), 0u);

    auto right = sine(stereo48k, 1024, 0, 440, {0.5f, 0.5f});
    for (int round = 0; round < 4; ++round) {
        EXPECT_NE(converter->convert(output, right).status, ConverterOutputStatus::error);
    }
    EXPECT_GT(output.frameLength(), 0u);
}

TEST(AudioConverterTest, RejectsAnOutputBufferInAnotherFormat) {
    auto converter = AudioConverter::make(stereo48k, mono16k);
    auto output = AudioPCMBuffer::make(AudioFormat{16'000, 2}, 400).value();
    auto input = sine(stereo48k, 1024, 0, 440, {0.5f, 0.5f});
    EXPECT_EQ(converter->convert(output, input).status, ConverterOutputStatus::error);
}

TEST(AudioConverterTest, ReportsAFullOutputAndKeepsTheRestForLater) {
    auto converter = AudioConverter::make(mono16k, mono16k);
    auto input = sine(mono16k, 4096, 0, 440, {0.5f});
    auto small = AudioPCMBuffer::make(mono16k, 100).value();
    EXPECT_EQ(converter->convert(small, input).status, ConverterOutputStatus::haveData);
    EXPECT_EQ(small.frameLength(), 100u);
    // Everything held back comes out on later conversions, nothing is lost.
    std::size_t total = small.frameLength();
    total += drain(*converter).size();
    EXPECT_EQ(total, 4096u);
}

TEST(AudioConverterTest, MakesOnlyMappableConverters) {
    EXPECT_NE(AudioConverter::make(stereo48k, mono16k), nullptr);
    EXPECT_NE(AudioConverter::make(stereo48k, AudioFormat{16'000, 2}), nullptr);
    EXPECT_EQ(AudioConverter::make(stereo48k, AudioFormat{16'000, 3}), nullptr);
    EXPECT_EQ(AudioConverter::make(AudioFormat{0, 2}, mono16k), nullptr);
    EXPECT_EQ(AudioConverter::make(stereo48k, AudioFormat{16'000, 0}), nullptr);
}

TEST(AudioFormatTest, MakesOnlyUsableFormats) {
    EXPECT_EQ(AudioFormat::make(16'000, 1), (AudioFormat{16'000, 1}));
    EXPECT_EQ(AudioFormat::make(0, 1), std::nullopt);
    EXPECT_EQ(AudioFormat::make(-1, 1), std::nullopt);
    EXPECT_EQ(AudioFormat::make(NAN, 1), std::nullopt);
    EXPECT_EQ(AudioFormat::make(16'000, 0), std::nullopt);
    EXPECT_EQ(AudioFormat::make(16'000, AudioFormat::maxChannels + 1), std::nullopt);
}
