// The facade's array entry points with the transcription run itself replaced: batching, order, offsets,
// chunking and failures, without models.

#include "ZodozorEro/Core/Audio/AudioChunker.h"
#include "ZodozorEro/Core/ZodozorEro.h"
#include "ZodozorEro/Utilities/WhisperError.h"
#include "../Audio/AudioTestSignals.h"
#include "../Data/LogCapture.h"

#include "System/Concurrency/BlockingRun.h"
#include "VuzadoDudi/ConcurrencyUtilities.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

namespace {

using namespace ZodozorEro;
using System::Concurrency::blockingRun;
using System::Concurrency::Task;
using ZodozorEroTesting::LogCapture;
using AudioTestSignals::bursts;
using Facade = ::ZodozorEro::ZodozorEro;

// A facade whose models "load" at once and whose run gives one segment covering the array, named after its
// length, after reporting the segment and one progress value. Arrays `failing` picks fail instead.
class RecordingFacade : public Facade {
public:
    using Facade::Facade;

    Task<void> loadModels(bool) override {
        setModelState(VuzadoDudi::ModelState::loaded);
        co_return;
    }

    Task<Results> runTranscribeTask(std::vector<float> audioArray, std::optional<DecodingOptions>,
                                    TranscriptionProgressCallback callback,
                                    SegmentDiscoveryCallback segmentCallback) override {
        const int now = ++running_;
        int seen = maxRunning_.load();
        while (now > seen && !maxRunning_.compare_exchange_weak(seen, now)) {
        }
        {
            std::lock_guard guard(mutex_);
            runs_.push_back({audioArray.size(), std::this_thread::get_id()});
        }
        struct Leave {
            std::atomic<int>& running;
            ~Leave() { --running; }
        } leave{running_};
        if (failing && failing(audioArray)) {
            throw WhisperError::decodingFailed("failed at " + std::to_string(audioArray.size()));
        }
        const float seconds = float(audioArray.size()) / 16'000.0f;
        TranscriptionSegment segment;
        segment.start = 0;
        segment.end = seconds;
        segment.text = std::to_string(audioArray.size());
        segment.words = std::vector<WordTiming>{{"w", {1}, 0.0f, 0.5f, 1.0f}};
        if (segmentCallback) {
            segmentCallback({segment});
        }
        if (callback) {
            TranscriptionProgress progress;
            progress.text = segment.text;
            progress.windowId = 99;
            callback(progress);
        }
        co_return Results{std::make_shared<TranscriptionResult>(segment.text, std::vector{segment}, "en",
                                                                TranscriptionTimings())};
    }

    std::function<bool(const std::vector<float>&)> failing;

    struct Run {
        std::size_t length;
        std::thread::id thread;
    };
    std::vector<Run> runs() const {
        std::lock_guard guard(mutex_);
        return runs_;
    }
    int maxRunning() const { return maxRunning_.load(); }

private:
    mutable std::mutex mutex_;
    std::vector<Run> runs_;
    std::atomic<int> running_{0};
    std::atomic<int> maxRunning_{0};
};

std::shared_ptr<RecordingFacade> makeFacade() {
    return blockingRun(Facade::create<RecordingFacade>(ZodozorEroConfig()));
}

std::vector<std::string> texts(const std::vector<TranscriptionOutcome>& outcomes) {
    std::vector<std::string> result;
    for (const auto& outcome : outcomes) {
        result.push_back(outcome.succeeded() ? outcome.results.at(0)->text()
                                             : System::Log::errorDescription(outcome.error));
    }
    return result;
}

DecodingOptions withWorkers(int count) {
    DecodingOptions options;
    options.concurrentWorkerCount = count;
    return options;
}

TEST(FacadeArrayBatches, OutcomesKeepInputOrderAndEachArrayIsNamedInItsProgress) {
    const auto facade = makeFacade();
    std::mutex mutex;
    std::map<std::string, std::set<int>> windowIds;
    const auto callback = [&](const TranscriptionProgress& progress) -> std::optional<bool> {
        std::lock_guard guard(mutex);
        windowIds[progress.text].insert(progress.windowId);
        return std::nullopt;
    };
    // Worker counts 2, 4, 0, 0 and none: batches of four and one.
    std::vector<std::vector<float>> arrays{std::vector<float>(500), std::vector<float>(100), std::vector<float>(400),
                                           std::vector<float>(300), std::vector<float>(200)};
    const auto outcomes = blockingRun(facade->transcribeWithOptions(
        arrays, {withWorkers(2), withWorkers(4), withWorkers(0), withWorkers(0), std::nullopt}, std::nullopt, callback));
    EXPECT_EQ(texts(outcomes), (std::vector<std::string>{"500", "100", "400", "300", "200"}));
    for (std::size_t index = 0; index < arrays.size(); ++index) {
        EXPECT_EQ(windowIds[std::to_string(arrays[index].size())], (std::set<int>{int(index)}));
    }
    EXPECT_LE(facade->maxRunning(), 4);

    // The runs happen on worker threads, and the first two arrays of a batch on different ones when the
    // machine has two processors.
    const auto runs = facade->runs();
    ASSERT_EQ(runs.size(), 5u);
    std::map<std::size_t, std::thread::id> threadOf;
    for (const auto& run : runs) {
        EXPECT_NE(run.thread, std::this_thread::get_id());
        threadOf[run.length] = run.thread;
    }
    if (VuzadoDudi::ConcurrencyUtilities::activeProcessorCount() >= 2) {
        EXPECT_NE(threadOf[500], threadOf[100]);
    }

    // The plain entry point gives nothing exactly where an array failed.
    facade->failing = [](const std::vector<float>& array) { return array.size() == 100; };
    const auto optional = blockingRun(facade->transcribe(arrays, DecodingOptions()));
    ASSERT_EQ(optional.size(), 5u);
    for (std::size_t index = 0; index < arrays.size(); ++index) {
        EXPECT_EQ(optional[index].has_value(), index != 1) << index;
    }
}

TEST(FacadeArrayBatches, CountsThatDoNotMatchFailEveryArrayAndRunNothing) {
    const auto facade = makeFacade();
    const std::vector<std::vector<float>> arrays(3, std::vector<float>(10));
    struct Case {
        std::vector<std::optional<DecodingOptions>> options;
        std::optional<std::vector<std::int64_t>> offsets;
        std::string message;
    };
    const Case cases[] = {
        {{DecodingOptions(), DecodingOptions()}, std::nullopt,
         "The number of audio arrays and decoding options must be balanced."},
        {{DecodingOptions(), DecodingOptions(), DecodingOptions()}, std::vector<std::int64_t>{0, 1},
         "The number of audio arrays and seek offset indexes must be balanced."},
    };
    for (const auto& [options, offsets, message] : cases) {
        const auto outcomes = blockingRun(facade->transcribeWithOptions(arrays, options, offsets));
        EXPECT_EQ(texts(outcomes), std::vector<std::string>(3, message));
    }
    EXPECT_TRUE(facade->runs().empty());
    EXPECT_TRUE(blockingRun(facade->transcribeWithOptions({}, {})).empty());
}

TEST(FacadeArrayOffsets, TheSegmentCallbackSeesRecordingTimeAndTheResultsArrayTime) {
    const auto facade = makeFacade();
    std::vector<std::vector<TranscriptionSegment>> reported;
    const auto record = [&](const std::vector<TranscriptionSegment>& segments) { reported.push_back(segments); };
    for (const std::int64_t offset : {std::int64_t(0), std::int64_t(16'000)}) {
        reported.clear();
        const auto results =
            blockingRun(facade->transcribe(std::vector<float>(8'000), offset, DecodingOptions(), nullptr, record));
        ASSERT_EQ(reported.size(), 1u);
        const auto& segment = reported[0].at(0);
        const float shift = float(offset) / 16'000.0f;
        EXPECT_EQ(segment.seek, offset);
        EXPECT_FLOAT_EQ(segment.start, shift);
        EXPECT_FLOAT_EQ(segment.end, shift + 0.5f);
        EXPECT_FLOAT_EQ(segment.words->at(0).end, shift + 0.5f);
        EXPECT_FLOAT_EQ(results.at(0)->segments().at(0).end, 0.5f);
        EXPECT_EQ(results.at(0)->segments().at(0).seek, 0);
    }
    // Without a callback of the caller's, the facade's own gets the segments.
    reported.clear();
    facade->segmentDiscoveryCallback = record;
    blockingRun(facade->transcribe(std::vector<float>(8'000), 32'000, DecodingOptions(), nullptr, nullptr));
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_FLOAT_EQ(reported[0].at(0).start, 2.0f);
}

// 20 s of tone, 2 s of silence, 15 s of tone: longer than a window, cut once in the silence.
std::vector<float> twoUtterances() {
    return bursts({{20.0, 0.5}, {2.0, 0.0}, {15.0, 0.5}});
}

TEST(FacadeArrayChunking, OnlyArraysLongerThanAWindowWithVoiceChunkingAreCut) {
    const auto facade = makeFacade();
    DecodingOptions vad;
    vad.chunkingStrategy = ChunkingStrategy::vad;
    DecodingOptions none;
    none.chunkingStrategy = ChunkingStrategy::none;
    struct Case {
        std::size_t length;
        std::optional<DecodingOptions> options;
        std::size_t runs;
    };
    const Case cases[] = {
        {480'000, vad, 1}, {twoUtterances().size(), vad, 2}, {twoUtterances().size(), std::nullopt, 1},
        {twoUtterances().size(), none, 1},
    };
    for (const auto& [length, options, runs] : cases) {
        const std::size_t before = facade->runs().size();
        std::vector<float> audio = twoUtterances();
        audio.resize(length, 0.5f);
        const auto results = blockingRun(facade->transcribe(audio, options));
        EXPECT_EQ(facade->runs().size() - before, runs) << length;
        EXPECT_EQ(results.size(), runs);
    }
}

TEST(FacadeArrayChunking, ChunkResultsMoveToArrayTimeAndFailedChunksAreReportedOrFailTheCall) {
    const auto facade = makeFacade();
    const auto audio = twoUtterances();
    const auto chunks = VADAudioChunker().chunkAll(audio, 480'000);
    ASSERT_EQ(chunks.size(), 2u);
    DecodingOptions options;
    options.chunkingStrategy = ChunkingStrategy::vad;

    std::vector<TranscriptionSegment> reported;
    std::mutex mutex;
    facade->segmentDiscoveryCallback = [&](const std::vector<TranscriptionSegment>& segments) {
        std::lock_guard guard(mutex);
        reported.insert(reported.end(), segments.begin(), segments.end());
    };
    const auto results = blockingRun(facade->transcribe(audio, 16'000, options, nullptr, nullptr));
    ASSERT_EQ(results.size(), 2u);
    const float secondStart = float(chunks[1].seekOffsetIndex) / 16'000.0f;
    EXPECT_EQ(results[1]->segments().at(0).seek, chunks[1].seekOffsetIndex);
    EXPECT_FLOAT_EQ(results[1]->seekTime().value_or(-1), secondStart);
    // The facade's callback is told recording time: the array offset and the chunk's.
    ASSERT_EQ(reported.size(), 2u);
    std::set<std::int64_t> seeks{reported[0].seek, reported[1].seek};
    EXPECT_EQ(seeks, (std::set<std::int64_t>{16'000, 16'000 + chunks[1].seekOffsetIndex}));

    // One chunk failing: the other's results, and the failure in the log.
    facade->segmentDiscoveryCallback = nullptr;
    const std::size_t failingLength = chunks[1].audioSamples.size();
    facade->failing = [&](const std::vector<float>& array) { return array.size() == failingLength; };
    {
        LogCapture log(VuzadoDudi::Logging::LogLevel::error);
        const auto partial = blockingRun(facade->transcribe(audio, options));
        ASSERT_EQ(partial.size(), 1u);
        EXPECT_EQ(partial[0]->text(), std::to_string(chunks[0].audioSamples.size()));
        const auto lines = log.lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find("chunk 1 of 2 failed: failed at " + std::to_string(failingLength)) != std::string::npos;
        }));
    }
    // Every chunk failing fails the call instead of returning nothing as a success.
    facade->failing = [](const std::vector<float>&) { return true; };
    try {
        blockingRun(facade->transcribe(audio, options));
        ADD_FAILURE() << "no error";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), WhisperError::Kind::decodingFailed);
    }
}

} // namespace
