// Runs inside scripts/testenv/with-pulseaudio: the daemon's default source is a 48 kHz stereo s16le pipe
// (PARLINDO_TEST_PIPE_SOURCE) that delivers exactly what is written into it. Speech made by espeak-ng is fed
// into it while the processor records.
#include "System/Audio/AudioConverter.h"
#include "System/Audio/AudioFile.h"
#include "System/Concurrency/BlockingRun.h"
#include "System/Tests/AudioTesting/PipeSource.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace ZodozorEro;
using System::Audio::AudioConverter;
using System::Audio::AudioFile;
using System::Audio::AudioFormat;
using System::Audio::AudioPCMBuffer;
namespace fs = std::filesystem;

namespace {

struct Speech {
    std::vector<char> pipeBytes; // 48 kHz stereo s16le, ready for the pipe
    std::size_t frames16k = 0;   // its length once recorded at 16 kHz
};

// Speaks `text` with espeak-ng and converts it to the pipe's format with the audio layer itself.
Speech makeSpeech(const std::string& text) {
    const fs::path wav =
        fs::temp_directory_path() / ("zodozorero-speech-" + std::to_string(::getpid()) + ".wav");
    const std::string speak = "espeak-ng -w '" + wav.string() + "' '" + text + "'";
    EXPECT_EQ(std::system(speak.c_str()), 0) << speak;
    AudioFile file = AudioFile::open(wav);
    auto spoken = AudioPCMBuffer::make(file.processingFormat(), std::uint32_t(file.length().value())).value();
    file.read(spoken, spoken.frameCapacity());
    fs::remove(wav);

    const AudioFormat pipeFormat{48'000, 1};
    auto converter = AudioConverter::make(file.processingFormat(), pipeFormat);
    auto converted =
        AudioPCMBuffer::make(
            pipeFormat,
            *AudioConverter::outputCapacity(48'000, file.processingFormat().sampleRate, spoken.frameLength()))
            .value();
    bool handedOver = false;
    converter->convert(converted, [&](System::Audio::ConverterInputStatus& status) -> const AudioPCMBuffer* {
        status = handedOver ? System::Audio::ConverterInputStatus::endOfStream
                            : System::Audio::ConverterInputStatus::haveData;
        return std::exchange(handedOver, true) ? nullptr : &spoken;
    });
    Speech speech;
    for (std::uint32_t i = 0; i < converted.frameLength(); ++i) {
        const auto value =
            std::int16_t(std::lround(std::clamp(converted.channelData(0)[i], -1.0f, 1.0f) * 32'767));
        for (int channel = 0; channel < 2; ++channel) {
            speech.pipeBytes.push_back(char(value & 0xff));
            speech.pipeBytes.push_back(char((value >> 8) & 0xff));
        }
    }
    speech.frames16k = converted.frameLength() / 3;
    return speech;
}

// Counts what the callback receives; a waiter wakes when enough has arrived. The deadline only guards
// against a broken recording; the pipe delivers as fast as it is fed.
class Arrivals {
public:
    void add(std::size_t samples) {
        std::lock_guard lock(mutex_);
        count_ += samples;
        changed_.notify_all();
    }
    bool waitFor(std::size_t samples) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return count_ >= samples; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t count_ = 0;
};

// All of the speech but the last partial 1600-frame block (533 samples at 16 kHz) and what the resampler
// holds.
constexpr std::size_t slack = 533 + 256;

} // namespace

TEST(LiveCaptureIntegration, ListsThePipeSourceAndRecordsSpeechFromIt) {
    EXPECT_TRUE(AudioProcessor::requestRecordPermission());
    const auto devices = AudioProcessor::getAudioDevices();
    ASSERT_EQ(devices.size(), 1u) << "the null sink's monitor is no microphone; the pipe source is";

    const Speech speech = makeSpeech("Hello world. This is a test of the dictation system on Linux.");
    ASSERT_GT(speech.frames16k, 16'000u) << "espeak-ng made less than a second of speech";

    Arrivals arrivals; // before the processor, whose audio thread counts into it until the processor goes
    AudioProcessor processor;
    processor.startRecordingLive(devices[0].id,
                                 [&](const std::vector<float>& block) { arrivals.add(block.size()); });
    std::jthread feeder([&] { feedPipe(speech.pipeBytes); });
    feeder.join();
    ASSERT_TRUE(arrivals.waitFor(speech.frames16k - slack)) << "the recording stalled";
    processor.stopRecording();

    const auto samples = processor.audioSamples();
    EXPECT_LE(samples.size(), speech.frames16k);
    EXPECT_GE(samples.size(), speech.frames16k - slack);
    float peak = 0;
    for (float sample : samples) {
        peak = std::max(peak, std::abs(sample));
    }
    EXPECT_GT(peak, 0.05f) << "the recording holds no speech";
    std::int64_t voiced = 0;
    for (const auto& span : AudioProcessor::calculateNonSilentChunks(samples)) {
        voiced += span.endIndex - span.startIndex;
    }
    EXPECT_GT(voiced, 8'000) << "less than half a second of voice found";
    const auto relative = processor.relativeEnergy();
    EXPECT_TRUE(AudioProcessor::isVoiceDetected(relative, float(relative.size()) / 10, 0.1f));
}

TEST(LiveCaptureIntegration, StreamsSpeechUntilTheConsumerStops) {
    const Speech speech = makeSpeech("Streaming works.");
    AudioProcessor processor;
    auto [stream, continuation] = processor.startStreamingRecordingLive();
    std::jthread feeder([&] { feedPipe(speech.pipeBytes); });
    std::size_t received = 0;
    while (received < speech.frames16k - slack) {
        auto block = System::Concurrency::blockingRun(stream.next());
        ASSERT_TRUE(block);
        received += block->size();
    }
    feeder.join();
    stream.cancel();
    EXPECT_FALSE(processor.hasEngine());
    EXPECT_GE(processor.audioSampleCount(), received);
}
