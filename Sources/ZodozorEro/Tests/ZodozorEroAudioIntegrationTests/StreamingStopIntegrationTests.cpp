// Stopping live capture and the streaming transcriber from their own callbacks, against the real sound
// server: runs inside scripts/testenv/with-pulseaudio, with sound fed into its pipe source.
#include "PipelineTesting.h"
#include "StreamingTesting.h"
#include "System/Concurrency/BlockingRun.h"
#include "System/Tests/AudioTesting/PipeSource.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Core/AudioStreamTranscriber.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

using namespace ZodozorEro;
using namespace PipelineTesting;
using namespace StreamingTesting;

namespace {

constexpr auto deadline = std::chrono::minutes(2);

// Runs `work` on a thread of its own and waits for it. The deadline only catches a deadlock, which can't be
// unwound: the process ends with the reason.
void expectToFinish(const std::string& what, std::function<void()> work) {
    std::packaged_task<void()> task(std::move(work));
    auto finished = task.get_future();
    std::thread runner(std::move(task));
    if (finished.wait_for(deadline) != std::future_status::ready) {
        std::fprintf(stderr, "%s never finished: deadlocked\n", what.c_str());
        std::fflush(stderr);
        std::abort();
    }
    runner.join();
    finished.get();
}

// Whether `condition` comes true before the deadline; it guards against a broken recording only.
bool eventually(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A transcriber over the scripted pipeline that records from the sound server, with `onReport` as its
// state-change callback.
struct LiveTranscriber {
    explicit LiveTranscriber(std::function<void(LiveTranscriber&, const State&)> onReport)
        : pipeline(Pipeline::scripted(threeSegments())) {
        transcriber = std::make_shared<AudioStreamTranscriber>(
            pipeline->encoder, pipeline->extractor, pipeline->seeker, pipeline->decoder, tokenizer(),
            processor, streamingOptions(), 2, 0.3f, 1000, false,
            // Reports come from the loop, which starts after the transcriber is stored.
            [this, onReport = std::move(onReport)](const State&, const State& newState) {
                onReport(*this, newState);
            },
            [] { return true; });
    }

    // Runs the loop with sound flowing in until it ends; what it threw, if anything.
    std::exception_ptr run() {
        ContinuousTone tone;
        try {
            expectToFinish("the streaming loop", [this] {
                System::Concurrency::blockingRun(transcriber->startStreamTranscription());
            });
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    }

    // Runs the loop until a report handler stops it; then nothing records any more.
    void runUntilStopped() {
        EXPECT_EQ(run(), nullptr);
        expectStopped();
    }

    void expectStopped() {
        EXPECT_TRUE(stopped);
        EXPECT_FALSE(transcriber->state().isRecording);
        EXPECT_FALSE(processor->hasEngine());
    }

    std::unique_ptr<Pipeline> pipeline;
    std::shared_ptr<AudioProcessor> processor = std::make_shared<AudioProcessor>();
    std::shared_ptr<AudioStreamTranscriber> transcriber;
    std::atomic<bool> stopped{false};
};

} // namespace

TEST(StreamingStopIntegration, TheRecordingStopsFromItsOwnAudioCallback) {
    AudioProcessor processor;
    std::atomic<int> blocks{0};
    std::atomic<std::size_t> firstBlock{0};
    processor.startRecordingLive(std::nullopt, [&](const std::vector<float>& block) {
        if (blocks++ == 0) {
            firstBlock = block.size();
            processor.stopRecording();
        }
    });
    feedPipe(toneBytes(0.2)); // six blocks, and less than the pipe holds, so the write never waits
    ASSERT_TRUE(eventually([&] { return !processor.hasEngine(); })) << "the engine was never let go";
    EXPECT_EQ(blocks, 1) << "blocks were recorded after the stop";
    EXPECT_GT(firstBlock, 0u);
    EXPECT_EQ(processor.audioSampleCount(), firstBlock);
}

TEST(StreamingStopIntegration, TheTranscriberStopsFromTheReportOfCapturedSound) {
    LiveTranscriber live([](LiveTranscriber& live, const State& state) {
        if (!state.bufferEnergy.empty() && !live.stopped.exchange(true)) {
            live.transcriber->stopStreamTranscription();
        }
    });
    live.runUntilStopped();
}

TEST(StreamingStopIntegration, TheTranscriberStopsFromAReportWhileSoundArrives) {
    LiveTranscriber live([](LiveTranscriber& live, const State& state) {
        if (state.unconfirmedSegments.empty() || live.stopped.exchange(true)) {
            return;
        }
        // Wait for a block to come in while this report is still being handled, then stop.
        const auto before = live.processor->audioSampleCount();
        ASSERT_TRUE(eventually([&] { return live.processor->audioSampleCount() > before; }));
        live.transcriber->stopStreamTranscription();
    });
    live.runUntilStopped();
    EXPECT_FALSE(live.transcriber->state().confirmedSegments.empty());
}

// The first report (isRecording set) comes while the start is under way; a stop made from it, or from another
// thread while it is handled, must still leave nothing recording once the loop is over.
struct FirstReportStop {
    std::string name;
    bool fromAnotherThread = false;
    friend void PrintTo(const FirstReportStop& param, std::ostream* out) { *out << param.name; }
};

class StreamingFirstReportStop : public ::testing::TestWithParam<FirstReportStop> {};

TEST_P(StreamingFirstReportStop, LeavesNothingRecording) {
    const bool fromAnotherThread = GetParam().fromAnotherThread;
    LiveTranscriber live([fromAnotherThread](LiveTranscriber& live, const State& state) {
        if (!state.isRecording || live.stopped.exchange(true)) {
            return;
        }
        if (fromAnotherThread) {
            std::thread([&live] { live.transcriber->stopStreamTranscription(); }).join();
        } else {
            live.transcriber->stopStreamTranscription();
        }
    });
    live.runUntilStopped();
}

INSTANTIATE_TEST_SUITE_P(Stops, StreamingFirstReportStop,
                         ::testing::Values(FirstReportStop{"FromTheReport", false},
                                           FirstReportStop{"FromAnotherThread", true}),
                         [](const auto& info) { return info.param.name; });

// A start that fails (no sound server to record from) leaves the transcriber stopped, and a later start,
// with the server back, records.
TEST(StreamingStopIntegration, AFailedStartLeavesTheTranscriberStartable) {
    LiveTranscriber live([](LiveTranscriber& live, const State& state) {
        if (!state.bufferEnergy.empty() && !live.stopped.exchange(true)) {
            live.transcriber->stopStreamTranscription();
        }
    });
    const std::string server = std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER") : "";
    ::setenv("PULSE_SERVER", "unix:/nonexistent/parlindo/native", 1);
    EXPECT_NE(live.run(), nullptr) << "recording started without a sound server";
    ::setenv("PULSE_SERVER", server.c_str(), 1);
    EXPECT_FALSE(live.transcriber->state().isRecording);
    EXPECT_FALSE(live.processor->hasEngine());

    live.runUntilStopped();
}

struct ReportRefused : std::runtime_error {
    ReportRefused()
        : std::runtime_error("the host refused a report") {}
};

// A report handler that throws ends the transcription with its error, whichever report it refuses and from
// whichever thread that report comes: the recording stops and the start throws the handler's error. Refusing
// every report, the stop's own included, ends it all the same.
struct ThrowingReport {
    std::string name;
    std::function<bool(const State&)> refuses;
    friend void PrintTo(const ThrowingReport& param, std::ostream* out) { *out << param.name; }
};

class StreamingThrowingReport : public ::testing::TestWithParam<ThrowingReport> {};

TEST_P(StreamingThrowingReport, EndsTheTranscriptionWithItsError) {
    const auto refuses = GetParam().refuses;
    LiveTranscriber live([refuses](LiveTranscriber& live, const State& state) {
        if (refuses(state)) {
            live.stopped = true;
            throw ReportRefused();
        }
    });
    const auto error = live.run();
    ASSERT_NE(error, nullptr) << "the transcription ended without the handler's error";
    EXPECT_THROW(std::rethrow_exception(error), ReportRefused);
    live.expectStopped();
}

INSTANTIATE_TEST_SUITE_P(
    Reports, StreamingThrowingReport,
    ::testing::Values(ThrowingReport{"TheFirst", [](const State& state) { return state.isRecording; }},
                      ThrowingReport{"OfCapturedEnergy",
                                     [](const State& state) { return !state.bufferEnergy.empty(); }},
                      ThrowingReport{"OfDecodingProgress",
                                     [](const State& state) { return state.currentText == " one two"; }},
                      ThrowingReport{"Every", [](const State&) { return true; }}),
    [](const auto& info) { return info.param.name; });
