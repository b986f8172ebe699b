#include "AudioTestSignals.h"

#include "System/Audio/FakeAudioDevice.h"
#include "System/Concurrency/BlockingRun.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace ZodozorEro;
using namespace AudioTestSignals;
using System::Audio::AudioEngineError;
using System::Audio::AudioFormat;
using System::Audio::FakeAudioDevice;
using System::Concurrency::blockingRun;

namespace {

// Delivers `blocks` blocks of 1600 frames of a 440 Hz sine at the device's format; true when all were taken.
bool deliverTone(FakeAudioDevice& device, AudioFormat format, int blocks, double amplitude = 0.5,
                 std::size_t* frame = nullptr) {
    std::size_t start = frame ? *frame : 0;
    for (int b = 0; b < blocks; ++b) {
        const auto samples = sine(440, amplitude, format.sampleRate, 1'600, start);
        start += 1'600;
        if (!device.deliver(buffer(format.sampleRate, std::vector<std::vector<float>>(format.channelCount, samples)))) {
            return false;
        }
    }
    if (frame) {
        *frame = start;
    }
    return true;
}

bool deliverLevel(FakeAudioDevice& device, float level) {
    return device.deliver(buffer(16'000, {std::vector<float>(1'600, level)}));
}

} // namespace

TEST(LiveCapture, RecordsTheMicrophoneAsSixteenKilohertzMono) {
    const AudioFormat stereo48k{48'000, 2};
    FakeAudioDevice device(stereo48k);
    AudioProcessor processor(device.factory());
    std::mutex mutex;
    std::vector<float> delivered;
    processor.startRecordingLive(std::nullopt, [&](const std::vector<float>& block) {
        std::lock_guard lock(mutex);
        delivered.insert(delivered.end(), block.begin(), block.end());
    });
    EXPECT_TRUE(processor.hasEngine());
    EXPECT_EQ(device.tapBufferSize(), 1'600u);
    EXPECT_EQ(device.tapFormat(), stereo48k);
    ASSERT_TRUE(deliverTone(device, stereo48k, 60));

    const auto samples = processor.audioSamples();
    // 60 blocks of 1600 frames at 48 kHz are 2 s; the resampler may still hold a few milliseconds.
    EXPECT_LE(samples.size(), 32'000u);
    EXPECT_GE(samples.size(), 32'000u - 400);
    EXPECT_EQ(processor.audioSampleCount(), samples.size());
    EXPECT_NEAR(frequency(middle(samples, 1'000), 16'000), 440, 0.5);
    EXPECT_NEAR(amplitude(middle(samples, 1'000)), 0.5, 0.01);
    EXPECT_EQ(delivered, samples);
    EXPECT_EQ(processor.audioEnergy().size(), 60u);
    EXPECT_EQ(processor.relativeEnergy().size(), 60u);
    EXPECT_EQ(processor.relativeEnergy().front(), 0.0f);

    processor.stopRecording();
    EXPECT_FALSE(processor.hasEngine());
    EXPECT_FALSE(device.hasTap());
    EXPECT_FALSE(deliverTone(device, stereo48k, 1));
    // The stores stay until the next start.
    EXPECT_EQ(processor.audioSamples(), samples);
    processor.startRecordingLive();
    EXPECT_TRUE(processor.audioSamples().empty());
    EXPECT_TRUE(processor.audioEnergy().empty());
}

TEST(LiveCapture, MeasuresEachBlockAgainstTheQuietestRecentOnes) {
    FakeAudioDevice device(AudioFormat{16'000, 1});
    AudioProcessor processor(device.factory());
    processor.startRecordingLive();
    // 16 kHz mono blocks are taken as they are.
    const auto tone = sine(440, 0.5, 16'000, 1'600);
    ASSERT_TRUE(device.deliver(buffer(16'000, {tone})));
    EXPECT_EQ(processor.audioSamples(), tone);
    for (float level : {0.001f, 0.1f, 1.0f, 0.0f}) {
        ASSERT_TRUE(deliverLevel(device, level));
    }
    const auto energy = processor.audioEnergy();
    ASSERT_EQ(energy.size(), 5u);
    EXPECT_EQ(energy[0].rel, 0.0f); // no history
    EXPECT_NEAR(energy[0].avg, 0.5 / std::numbers::sqrt2, 1e-3);
    EXPECT_NEAR(energy[0].max, 0.5, 1e-3);
    EXPECT_NEAR(energy[1].avg, 0.001, 1e-7);
    EXPECT_NEAR(energy[2].rel, 40.0 / 60.0, 1e-4); // -20 dB against -60 dB
    EXPECT_NEAR(energy[3].rel, 1.0, 1e-6);
    EXPECT_EQ(energy[4].rel, 0.0f); // digital silence
    EXPECT_EQ(energy[4].max, 0.0f);
}

TEST(LiveCapture, SuppressedInputKeepsTimeWithZeros) {
    FakeAudioDevice device(AudioFormat{16'000, 1});
    AudioProcessor processor(device.factory());
    processor.startRecordingLive();
    processor.setInputSuppressed(true);
    ASSERT_TRUE(deliverLevel(device, 0.5f));
    processor.setInputSuppressed(false);
    ASSERT_TRUE(deliverLevel(device, 0.5f));
    const auto samples = processor.audioSamples();
    ASSERT_EQ(samples.size(), 3'200u);
    EXPECT_EQ(std::count(samples.begin(), samples.begin() + 1'600, 0.0f), 1'600);
    EXPECT_EQ(std::count(samples.begin() + 1'600, samples.end(), 0.5f), 1'600);
    EXPECT_EQ(processor.audioEnergy().size(), 2u);
}

TEST(LiveCapture, PausesResumesAndSwitchesDevices) {
    const AudioFormat mono16k{16'000, 1};
    FakeAudioDevice device(mono16k);
    device.setSelectableDevices({7, 9});
    AudioProcessor processor(device.factory());
    processor.startRecordingLive(7);
    EXPECT_EQ(device.selectedDevice(), 7u);
    ASSERT_TRUE(deliverLevel(device, 0.25f));

    processor.pauseRecording();
    EXPECT_FALSE(deliverLevel(device, 0.25f));
    // The same device: the paused engine goes on, the samples stay.
    processor.resumeRecordingLive(7);
    EXPECT_EQ(device.enginesMade(), 1);
    ASSERT_TRUE(deliverLevel(device, 0.25f));
    EXPECT_EQ(processor.audioSampleCount(), 3'200u);

    // Another device: a new engine, the same stores, a new callback.
    int calls = 0;
    processor.resumeRecordingLive(9, [&](const std::vector<float>&) { ++calls; });
    EXPECT_EQ(device.enginesMade(), 2);
    EXPECT_EQ(device.selectedDevice(), 9u);
    ASSERT_TRUE(deliverLevel(device, 0.25f));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(processor.audioSampleCount(), 4'800u);

    // A device the system does not have: recording goes on from the default input.
    processor.startRecordingLive(42);
    EXPECT_TRUE(processor.hasEngine());
    EXPECT_EQ(device.selectedDevice(), 9u);
}

TEST(LiveCapture, PurgesTheOldestSamples) {
    FakeAudioDevice device(AudioFormat{16'000, 1});
    AudioProcessor processor(device.factory());
    processor.startRecordingLive();
    for (int b = 0; b < 25; ++b) {
        ASSERT_TRUE(device.deliver(buffer(16'000, {std::vector<float>(1'600, float(b))})));
    }
    processor.purgeAudioSamples(16'000);
    auto samples = processor.audioSamples();
    ASSERT_EQ(samples.size(), 16'000u);
    EXPECT_EQ(samples.front(), 15.0f);
    EXPECT_EQ(samples.back(), 24.0f);
    processor.purgeAudioSamples(20'000);
    EXPECT_EQ(processor.audioSampleCount(), 16'000u);
    processor.purgeAudioSamples(0);
    EXPECT_EQ(processor.audioSampleCount(), 0u);
    EXPECT_EQ(processor.audioEnergy().size(), 25u);
}

TEST(LiveCapture, StreamsBlocksUntilTheStreamEnds) {
    FakeAudioDevice device(AudioFormat{16'000, 1});
    AudioProcessor processor(device.factory());
    auto [stream, continuation] = processor.startStreamingRecordingLive();
    for (float level : {0.1f, 0.2f, 0.3f}) {
        ASSERT_TRUE(deliverLevel(device, level));
    }
    for (float level : {0.1f, 0.2f, 0.3f}) {
        auto block = blockingRun(stream.next());
        ASSERT_TRUE(block);
        EXPECT_EQ(*block, std::vector<float>(1'600, level));
    }
    // The consumer goes away: recording stops.
    stream.cancel();
    EXPECT_FALSE(processor.hasEngine());
    EXPECT_FALSE(device.isRunning());
    EXPECT_EQ(processor.audioSampleCount(), 4'800u);
}

TEST(LiveCapture, StartFailuresReachTheCaller) {
    FakeAudioDevice device(AudioFormat{16'000, 1});
    AudioProcessor processor(device.factory());
    device.failNextStart(AudioEngineError(AudioEngineError::Code::noInputDevice, ""));
    EXPECT_THROW(processor.startRecordingLive(), AudioEngineError);
    EXPECT_FALSE(processor.hasEngine());
    EXPECT_FALSE(device.hasTap());

    device.failNextStart(AudioEngineError(AudioEngineError::Code::serverUnavailable, ""));
    auto [stream, continuation] = processor.startStreamingRecordingLive();
    EXPECT_THROW(blockingRun(stream.next()), AudioEngineError);
    EXPECT_FALSE(blockingRun(stream.next()));

    device.setInputFormat(AudioFormat{});
    try {
        processor.startRecordingLive();
        ADD_FAILURE() << "started without an input format";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError::audioProcessingFailed("Failed to create node format"));
    }
}

TEST(LiveCapture, DestroyingTheProcessorStopsRecordingAndOutlivesItsStream) {
    FakeAudioDevice device(AudioFormat{16'000, 1});
    std::optional<AudioSampleStream> kept;
    {
        AudioProcessor processor(device.factory());
        auto [stream, continuation] = processor.startStreamingRecordingLive();
        kept = std::move(stream);
        ASSERT_TRUE(deliverLevel(device, 0.5f));
    }
    EXPECT_FALSE(device.isRunning());
    EXPECT_FALSE(device.hasTap());
    EXPECT_TRUE(blockingRun(kept->next()));
    kept->cancel(); // reaches no processor any more
}

TEST(EnergyMeasures, RelativeEnergyAndVoiceInTheNewestBuffers) {
    EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(std::vector<float>(100, 0.001f), std::nullopt), 0.0, 1e-5);
    EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(std::vector<float>(100, 0.01f), std::nullopt), 1.0 / 3, 1e-5);
    EXPECT_EQ(AudioProcessor::calculateRelativeEnergy(std::vector<float>(100, 2.0f), std::nullopt), 1.0f);
    EXPECT_EQ(AudioProcessor::calculateRelativeEnergy({}, std::nullopt), 0.0f);
    EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(std::vector<float>(100, 0.1f), 0.001f), 40.0 / 60, 1e-5);

    // 30 values: 2 s looks at the last 20 and of those at the first 10.
    std::vector<float> energies(30, 0.0f);
    energies[25] = 0.9f;
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.3f));
    energies[15] = 0.9f;
    EXPECT_TRUE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.3f));
    energies[15] = 0.3f; // not strictly above
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.3f));
    // Fewer values than asked for: all are looked at.
    const std::vector<float> five = {0, 0, 0, 0, 0.5f};
    EXPECT_TRUE(AudioProcessor::isVoiceDetected(five, 2.0f, 0.3f));
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(five, -1.0f, 0.3f));
    EXPECT_FALSE(AudioProcessor::isVoiceDetected({}, 2.0f, 0.3f));
    EXPECT_THROW(AudioProcessor::isVoiceDetected(five, std::nanf(""), 0.3f), std::invalid_argument);
}
