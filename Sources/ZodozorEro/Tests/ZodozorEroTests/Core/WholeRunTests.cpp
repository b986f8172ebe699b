// A whole transcription from an audio file on a decoder with random weights: what it says is noise, but the
// run must end, account for its time and stop when cancelled.

#include <cmath>

#include <gtest/gtest.h>

#include "PipelineTesting.h"
#include "System/Audio/AudioFileWriter.h"
#include "System/Concurrency/BlockingRun.h"
#include "System/Concurrency/RunLoop.h"
#include "System/Tests/FileTesting/FileTesting.h"

namespace {

using namespace ZodozorEro;
using namespace PipelineTesting;

// A 40-second recording: two windows, the second a short one.
std::vector<float> recordedSpeech(const std::filesystem::path& folder) {
    std::vector<float> samples(std::size_t(40 * 16000));
    for (std::size_t index = 0; index < samples.size(); ++index) {
        samples[index] = 0.3f * float(std::sin(2 * M_PI * 220 * double(index) / 16000)) *
                         float(0.5 + 0.5 * std::sin(2 * M_PI * 3 * double(index) / 16000));
    }
    const auto path = folder / "speech.wav";
    System::Audio::writeAudioFile(path, System::Audio::AudioFileEncoding::wavInt16, 16000, {samples});
    return AudioProcessor::loadAudioAsFloatArray(path.string());
}

TEST(WholeRunTest, ARandomModelTranscribesAFileToTheEndWithItsTimings) {
    auto pipeline = Pipeline::random();
    const auto samples = recordedSpeech(pipeline->folder());
    ASSERT_EQ(samples.size(), std::size_t(40 * 16000));
    auto task = pipeline->makeTask();
    std::vector<std::size_t> discovered;
    task->segmentDiscoveryCallback = [&](const std::vector<TranscriptionSegment>& segments) {
        discovered.push_back(segments.size());
    };
    DecodingOptions options;
    options.wordTimestamps = true;
    const auto result = System::Concurrency::blockingRun(task->run(samples, options));

    const auto timings = result.timings();
    EXPECT_DOUBLE_EQ(timings.inputAudioSeconds, 40.0);
    EXPECT_GE(timings.totalEncodingRuns, 2);
    EXPECT_EQ(timings.totalLogmelRuns, timings.totalEncodingRuns);
    EXPECT_EQ(timings.totalAudioProcessingRuns, timings.totalEncodingRuns);
    EXPECT_GT(timings.totalDecodingLoops, 0);
    EXPECT_GT(timings.totalKVUpdateRuns, 0);
    EXPECT_GT(timings.logmels, 0);
    EXPECT_GT(timings.encoding, 0);
    EXPECT_GT(timings.decodingPredictions, 0);
    EXPECT_GT(timings.fullPipeline, 0);
    EXPECT_GE(timings.fullPipeline, timings.decodingLoop);
    EXPECT_LT(timings.pipelineStart, timings.firstTokenTime);
    EXPECT_LT(timings.firstTokenTime, std::numeric_limits<double>::max());
    EXPECT_EQ(std::size_t(timings.totalDecodingWindows), discovered.size());
    EXPECT_EQ(task->progress()->completedUnitCount(), 40 * 16000);
    EXPECT_EQ(task->progress()->totalUnitCount(), 40 * 16000);

    std::size_t segments = 0;
    for (std::size_t count : discovered) {
        segments += count;
    }
    EXPECT_EQ(result.segments().size(), segments);
    for (const auto& segment : result.segments()) {
        EXPECT_LE(segment.start, segment.end);
        EXPECT_GE(segment.seek, 0);
        EXPECT_LT(segment.seek, 40 * 16000);
    }
}

TEST(WholeRunTest, CancellingARunStopsItAtTheNextModelCall) {
    auto pipeline = Pipeline::random();
    const auto samples = recordedSpeech(pipeline->folder());
    auto task = pipeline->makeTask();

    System::Concurrency::RunLoop loop;
    System::Concurrency::TaskHandle<TranscriptionResult> handle;
    int reports = 0;
    auto cancelAtOnce = [&](const TranscriptionProgress&) -> std::optional<bool> {
        ++reports;
        handle.cancel();
        return std::nullopt;
    };
    handle = System::Concurrency::spawn(loop, task->run(samples, std::nullopt, cancelAtOnce));
    loop.runUntil([&] { return handle.isDone(); });

    EXPECT_THROW(handle.result(), System::Concurrency::CancellationError);
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(task->timings().totalDecodingLoops, 0) << "the cancelled decode is not merged into the run";
    EXPECT_EQ(pipeline->decoder->calls().size(), 1u);
}

} // namespace
