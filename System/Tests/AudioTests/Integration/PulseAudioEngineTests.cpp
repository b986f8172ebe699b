// Runs inside scripts/testenv/with-pulseaudio: a private daemon whose default source is a 48 kHz stereo
// s16le pipe named by PARLINDO_TEST_PIPE_SOURCE.
#include "System/Audio/PulseAudioEngine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace System::Audio;

namespace {

std::string pipePath() {
    const char* path = std::getenv("PARLINDO_TEST_PIPE_SOURCE");
    if (!path) {
        ADD_FAILURE()
            << "PARLINDO_TEST_PIPE_SOURCE is not set: run this under scripts/testenv/with-pulseaudio";
        return {};
    }
    return path;
}

// Writes interleaved s16le stereo frames into the pipe source.
void writeToPipe(const std::vector<std::int16_t>& interleaved) {
    const int fd = ::open(pipePath().c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const auto* bytes = reinterpret_cast<const char*>(interleaved.data());
    std::size_t left = interleaved.size() * sizeof(std::int16_t);
    while (left > 0) {
        const ssize_t written = ::write(fd, bytes, left);
        ASSERT_GT(written, 0);
        bytes += written;
        left -= std::size_t(written);
    }
    ::close(fd);
}

// What the tap received, shared with the audio thread.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<float> left, right;
    std::vector<std::uint32_t> blockSizes;
    std::vector<AudioFormat> formats;

    bool waitForFrames(std::size_t frames) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return left.size() >= frames; });
    }
};

} // namespace

TEST(PulseAudioEngineTest, ReportsTheDefaultSourceFormat) {
    PulseAudioEngine engine;
    engine.prepare();
    EXPECT_EQ(engine.inputNode().outputFormat(), (AudioFormat{48'000, 2}));
}

TEST(PulseAudioEngineTest, DeliversWhatTheSourceRecordsInBlocksOfTheTapSize) {
    Received received; // before the engine, whose audio thread fills it until the engine goes
    PulseAudioEngine engine;
    const AudioFormat format = engine.inputNode().outputFormat();
    ASSERT_EQ(format, (AudioFormat{48'000, 2}));
    engine.inputNode().installTap(1024, format, [&](const AudioPCMBuffer& buffer) {
        std::lock_guard lock(received.mutex);
        received.blockSizes.push_back(buffer.frameLength());
        received.formats.push_back(buffer.format());
        received.left.insert(received.left.end(), buffer.channelData(0),
                             buffer.channelData(0) + buffer.frameLength());
        received.right.insert(received.right.end(), buffer.channelData(1),
                              buffer.channelData(1) + buffer.frameLength());
        received.changed.notify_all();
    });
    engine.start();

    // A ramp on the left and its negation on the right, so order, channels and scale can all be checked.
    constexpr std::size_t frames = 10 * 1024;
    std::vector<std::int16_t> interleaved;
    for (std::size_t i = 0; i < frames; ++i) {
        const auto value = std::int16_t(int(i % 2000) * 16 - 16'000);
        interleaved.push_back(value);
        interleaved.push_back(std::int16_t(-value));
    }
    writeToPipe(interleaved);
    ASSERT_TRUE(received.waitForFrames(frames)) << "the tap received too little audio";
    engine.inputNode().removeTap();
    engine.stop();

    std::lock_guard lock(received.mutex);
    for (std::size_t b = 0; b < received.blockSizes.size(); ++b) {
        EXPECT_EQ(received.blockSizes[b], 1024u);
        EXPECT_EQ(received.formats[b], format);
    }
    // The source may have recorded a little silence before the ramp arrived; find where the ramp starts.
    std::size_t start = 0;
    while (start < received.left.size() && received.left[start] == 0.0f) {
        ++start;
    }
    ASSERT_GE(received.left.size(), start + 2000);
    for (std::size_t i = 0; i < 2000; ++i) {
        const float expected = float(int(i % 2000) * 16 - 16'000) / 32768.0f;
        ASSERT_NEAR(received.left[start + i], expected, 1e-4) << "frame " << i;
        ASSERT_NEAR(received.right[start + i], -expected, 1e-4) << "frame " << i;
    }
}

TEST(PulseAudioEngineTest, TellsItsObserversWhenTheDefaultSourceChanges) {
    PulseAudioEngine engine;
    engine.prepare();
    std::mutex mutex;
    std::condition_variable changed;
    int changes = 0;
    auto observation = engine.observeConfigurationChanges([&] {
        std::lock_guard lock(mutex);
        ++changes;
        changed.notify_all();
    });
    ASSERT_EQ(std::system("pactl set-default-source test_sink.monitor"), 0);
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return changes > 0; }));
    }
    ASSERT_EQ(std::system("pactl set-default-source test_source"), 0);
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return changes > 1; }));
    }
    observation.reset();
    // A sink change is no input change, and an ended observation hears nothing anyway.
    ASSERT_EQ(std::system("pactl set-default-sink test_sink"), 0);
}

TEST(PulseAudioEngineTest, FailsToStartWithoutAServer) {
    const std::string saved = std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER") : "";
    ::setenv("PULSE_SERVER", "unix:/nonexistent/parlindo/native", 1);
    {
        PulseAudioEngine engine;
        EXPECT_EQ(engine.inputNode().outputFormat(), AudioFormat{});
        try {
            engine.start();
            ADD_FAILURE() << "start() succeeded without a server";
        } catch (const AudioEngineError& error) {
            EXPECT_EQ(error.code(), AudioEngineError::Code::serverUnavailable);
            EXPECT_NE(std::string(error.what()).find("The sound server can't be reached"), std::string::npos);
        }
    }
    ::setenv("PULSE_SERVER", saved.c_str(), 1);
}
