#include "System/Audio/AudioConverter.h"
#include "System/Audio/FakeAudioDevice.h"
#include "System/Concurrency/ManualExecutor.h"
#include "System/Log/Logger.h"
#include "TessarinPlatform/Audio/AVAudioEngineRecorder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace TessarinPlatform;
using System::Audio::AudioEngineError;
using System::Audio::AudioFormat;
using System::Audio::AudioPCMBuffer;
using System::Audio::FakeAudioDevice;
using TessarinCore::AudioChunk;
using TessarinCore::AudioClip;
namespace Con = System::Concurrency;

namespace {

const AudioFormat stereo48k{48'000, 2};

// A 1024-frame block of a 440 Hz sine (or silence) in `format`, continuing at `startFrame`.
AudioPCMBuffer block(AudioFormat format, std::uint64_t startFrame, float amplitude = 0.5f) {
    auto buffer = AudioPCMBuffer::make(format, 1024).value();
    for (std::uint32_t c = 0; c < format.channelCount; ++c) {
        for (std::uint32_t i = 0; i < 1024; ++i) {
            const double t = double(startFrame + i) / format.sampleRate;
            buffer.channelData(c)[i] = amplitude * float(std::sin(2 * std::numbers::pi * 440 * t));
        }
    }
    buffer.setFrameLength(1024);
    return buffer;
}

Con::Task<std::vector<AudioChunk>> collect(Con::AsyncStream<AudioChunk> stream) {
    std::vector<AudioChunk> chunks;
    while (auto chunk = co_await stream.next()) {
        chunks.push_back(std::move(*chunk));
    }
    co_return chunks;
}

std::vector<float> concatenated(const std::vector<AudioChunk>& chunks) {
    std::vector<float> all;
    for (const auto& chunk : chunks) {
        all.insert(all.end(), chunk.samples.begin(), chunk.samples.end());
    }
    return all;
}

struct RecorderFixture : ::testing::Test {
    Con::ManualExecutor executor;
    FakeAudioDevice device{stereo48k};
    AVAudioEngineRecorder recorder{device.factory(), executor};

    // Starts a recording and a consumer of its chunks.
    Con::TaskHandle<std::vector<AudioChunk>> startRecording() {
        auto stream = executor.runToCompletion(recorder.start());
        auto consumer = Con::spawn(executor, collect(std::move(stream)));
        executor.runUntilIdle();
        return consumer;
    }
    AudioClip stopRecording() { return executor.runToCompletion(recorder.stop()); }
    void deliverBlocks(int count, std::uint64_t& frame, AudioFormat format = stereo48k,
                       float amplitude = 0.5f) {
        for (int i = 0; i < count; ++i, frame += 1024) {
            EXPECT_TRUE(device.deliver(block(format, frame, amplitude)));
        }
        executor.runUntilIdle();
    }
};

} // namespace

TEST_F(RecorderFixture, StreamsConvertedChunksThatAddUpToTheClip) {
    auto consumer = startRecording();
    EXPECT_EQ(device.tapBufferSize(), 1024u);
    EXPECT_EQ(device.tapFormat(), stereo48k);
    std::uint64_t frame = 0;
    deliverBlocks(30, frame);
    EXPECT_FALSE(consumer.isDone());

    const AudioClip clip = stopRecording();
    ASSERT_TRUE(consumer.isDone()) << "the chunk stream must end when stop() returns";
    const auto chunks = consumer.result();
    EXPECT_EQ(concatenated(chunks), clip.samples);
    for (const auto& chunk : chunks) {
        EXPECT_LE(chunk.samples.size(), 358u);
    }
    // 30 blocks of 1024 frames at 48 kHz are 10,240 frames at 16 kHz, less the few milliseconds the resampler
    // still holds.
    EXPECT_LE(clip.samples.size(), 10'240u);
    EXPECT_GE(clip.samples.size(), 10'240u - 256);
    EXPECT_FALSE(device.isRunning());
    EXPECT_FALSE(device.hasTap());
}

TEST_F(RecorderFixture, ChunkLevelsFollowTheSignal) {
    auto consumer = startRecording();
    std::uint64_t frame = 0;
    deliverBlocks(10, frame, stereo48k, 0.0f);
    deliverBlocks(20, frame, stereo48k, 0.5f);
    stopRecording();
    const auto chunks = consumer.result();
    ASSERT_GE(chunks.size(), 25u);
    EXPECT_EQ(chunks[2].level(), 0.0f);
    // A sine of amplitude 0.5 has an RMS level of 0.5 / sqrt(2).
    EXPECT_NEAR(chunks[chunks.size() - 2].level(), 0.5 / std::numbers::sqrt2, 0.01);
}

TEST(CaptureBufferTest, SizesTheOutputByTheRateRatioPlusSlack) {
    struct Case {
        double inputRate;
        std::uint32_t frames;
        std::optional<std::uint32_t> capacity;
    };
    for (const Case& c :
         {Case{48'000, 1024, 358}, Case{44'100, 1024, 388}, Case{16'000, 1024, 1040}, Case{8'000, 1024, 2064},
          Case{48'000, 0, 16}, Case{48'000, 1, 17}, Case{1e-3, 1024, std::nullopt}}) {
        EXPECT_EQ(System::Audio::AudioConverter::outputCapacity(16'000, c.inputRate, c.frames), c.capacity)
            << c.inputRate << " Hz, " << c.frames << " frames";
    }
}

TEST_F(RecorderFixture, DropsABlockThatFailsToConvertAndGoesOn) {
    auto consumer = startRecording();
    std::uint64_t frame = 0;
    deliverBlocks(10, frame);
    std::uint64_t other = 0;
    deliverBlocks(1, other, AudioFormat{44'100, 2}); // not the format the recording was set up for
    deliverBlocks(10, frame);
    const AudioClip clip = stopRecording();
    const auto chunks = consumer.result();
    EXPECT_EQ(concatenated(chunks), clip.samples);
    // Twenty good blocks made it: about 20 x 1024 / 3 frames; the odd one added nothing.
    EXPECT_GE(clip.samples.size(), 6'826u - 256);
    EXPECT_LE(clip.samples.size(), 6'827u);
}

TEST(CaptureBufferTest, IgnoresBlocksWhenNoRecordingRuns) {
    CaptureBuffer capture;
    capture.append(block(stereo48k, 0)); // before any recording
    auto stream = capture.begin(stereo48k);
    capture.append(block(stereo48k, 0));
    capture.append(block(stereo48k, 1024));
    const AudioClip clip = capture.end();
    EXPECT_FALSE(clip.isEmpty());
    capture.append(block(stereo48k, 2048)); // a late block from the audio thread
    EXPECT_TRUE(capture.end().isEmpty());

    Con::ManualExecutor executor;
    auto consumer = Con::spawn(executor, collect(std::move(stream)));
    executor.runUntilIdle();
    ASSERT_TRUE(consumer.isDone());
    EXPECT_EQ(concatenated(consumer.result()), clip.samples) << "no chunk may follow the end of the stream";
}

TEST_F(RecorderFixture, DeliversNothingAfterTheStreamFinished) {
    auto consumer = startRecording();
    std::uint64_t frame = 0;
    deliverBlocks(5, frame);
    const AudioClip clip = stopRecording();
    EXPECT_FALSE(device.deliver(block(stereo48k, frame))) << "the tap must be gone once stop() returns";
    executor.runUntilIdle();
    ASSERT_TRUE(consumer.isDone());
    EXPECT_EQ(concatenated(consumer.result()), clip.samples);
    EXPECT_TRUE(stopRecording().isEmpty());
}

TEST_F(RecorderFixture, RebuildsTheEngineAtOnceAfterAConfigurationChangeWhileIdle) {
    System::Log::CaptureSink sink;
    executor.runToCompletion(recorder.prepare());
    EXPECT_EQ(device.enginesMade(), 1);
    EXPECT_EQ(device.liveObservers(), 1);
    device.changeConfiguration();
    executor.runUntilIdle();
    EXPECT_EQ(device.liveEngines(), 0);
    EXPECT_EQ(device.liveObservers(), 0);
    EXPECT_EQ(sink.messages("Audio"),
              (std::vector<std::string>{"Audio configuration changed; engine will be rebuilt"}));

    // The next recording builds a fresh engine, observes it and reads the input format anew.
    device.setInputFormat(AudioFormat{44'100, 1});
    auto consumer = startRecording();
    EXPECT_EQ(device.enginesMade(), 2);
    EXPECT_EQ(device.liveObservers(), 1);
    EXPECT_EQ(device.tapFormat(), (AudioFormat{44'100, 1}));
    std::uint64_t frame = 0;
    deliverBlocks(5, frame, AudioFormat{44'100, 1});
    EXPECT_FALSE(stopRecording().isEmpty());
}

TEST_F(RecorderFixture, WaitsForStopBeforeRebuildingDuringARecording) {
    auto consumer = startRecording();
    std::uint64_t frame = 0;
    deliverBlocks(5, frame);
    device.changeConfiguration();
    executor.runUntilIdle();
    executor.runToCompletion(recorder.prepare()); // no teardown while recording
    EXPECT_EQ(device.liveEngines(), 1);
    deliverBlocks(5, frame);

    const AudioClip clip = stopRecording();
    EXPECT_EQ(concatenated(consumer.result()), clip.samples);
    EXPECT_GE(clip.samples.size(), 3'413u - 256);
    EXPECT_EQ(device.liveEngines(), 0);
    EXPECT_EQ(device.liveObservers(), 0);

    startRecording();
    EXPECT_EQ(device.enginesMade(), 2);
    stopRecording();
}

TEST_F(RecorderFixture, RefusesASecondStartAndKeepsTheFirstRecording) {
    auto consumer = startRecording();
    std::uint64_t frame = 0;
    deliverBlocks(5, frame);
    try {
        executor.runToCompletion(recorder.start());
        ADD_FAILURE() << "a second start() must throw";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error, RecorderError(RecorderError::Case::alreadyRecording));
        EXPECT_STREQ(error.what(), "A recording is already in progress.");
    }
    deliverBlocks(5, frame);
    const AudioClip clip = stopRecording();
    EXPECT_EQ(concatenated(consumer.result()), clip.samples);
    EXPECT_GE(clip.samples.size(), 3'413u - 256);
}

TEST_F(RecorderFixture, RefusesInputsItCannotRecord) {
    struct Case {
        AudioFormat format;
        RecorderError::Case expected;
        const char* description;
    };
    for (const Case& c :
         {Case{AudioFormat{0, 2}, RecorderError::Case::noInputDevice, "No microphone is available."},
          Case{AudioFormat{48'000, 0}, RecorderError::Case::noInputDevice, "No microphone is available."},
          Case{AudioFormat{48'000, 100}, RecorderError::Case::unsupportedFormat,
               "The microphone's audio format can't be converted."}}) {
        device.setInputFormat(c.format);
        try {
            executor.runToCompletion(recorder.start());
            ADD_FAILURE() << "start() must throw for " << c.format.sampleRate << " Hz, "
                          << c.format.channelCount;
        } catch (const RecorderError& error) {
            EXPECT_EQ(error.errorCase(), c.expected);
            EXPECT_STREQ(error.what(), c.description);
        }
        EXPECT_FALSE(device.hasTap());
        EXPECT_FALSE(device.isRunning());
    }
}

TEST_F(RecorderFixture, PassesAnEngineStartErrorOnAndAllowsTheNextStart) {
    device.failNextStart(AudioEngineError(AudioEngineError::Code::streamFailed, "busy"));
    Con::AsyncStream<AudioChunk> failedStream;
    try {
        executor.runToCompletion(recorder.start());
        ADD_FAILURE() << "start() must throw the engine's error";
    } catch (const AudioEngineError& error) {
        EXPECT_EQ(error.code(), AudioEngineError::Code::streamFailed);
        EXPECT_EQ(error.detail(), "busy");
    }
    EXPECT_FALSE(device.hasTap());
    EXPECT_EQ(device.liveEngines(), 1) << "the engine stays for the next attempt";

    auto consumer = startRecording();
    EXPECT_EQ(device.enginesMade(), 1);
    std::uint64_t frame = 0;
    deliverBlocks(3, frame);
    EXPECT_FALSE(stopRecording().isEmpty());
    EXPECT_TRUE(consumer.isDone());
}

TEST_F(RecorderFixture, StopWithoutARecordingReturnsAnEmptyClip) {
    EXPECT_TRUE(stopRecording().isEmpty());
    EXPECT_EQ(device.enginesMade(), 0);
    executor.runToCompletion(recorder.prepare());
    EXPECT_TRUE(stopRecording().isEmpty());
    EXPECT_EQ(device.liveEngines(), 1);
}
