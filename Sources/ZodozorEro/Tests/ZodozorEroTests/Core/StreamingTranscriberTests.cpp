// The streaming transcriber on the fake audio device, with the scripted decoder: which segments are
// confirmed and which stay open as audio arrives.

#include <atomic>
#include <condition_variable>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "Audio/AudioTestSignals.h"
#include "PipelineTesting.h"
#include "StreamingTesting.h"
#include "System/Concurrency/BlockingRun.h"
#include "ZodozorEro/Core/AudioStreamTranscriber.h"

namespace {

using namespace ZodozorEro;
using namespace PipelineTesting;
using namespace StreamingTesting;

// A transcriber over the scripted pipeline, its loop on a thread of its own. `observer` sees every report
// before the log does.
class StreamingFixture {
public:
    using Observer = std::function<void(AudioStreamTranscriber& transcriber, const State& oldState,
                                        const State& newState)>;

    explicit StreamingFixture(DecodingOptions options, Observer observer = nullptr)
        : pipeline_(Pipeline::scripted(threeSegments())) {
        pipeline_->device.setInputFormat(System::Audio::AudioFormat{16'000, 1});
        transcriber_ = std::make_shared<AudioStreamTranscriber>(
            pipeline_->encoder, pipeline_->extractor, pipeline_->seeker, pipeline_->decoder, tokenizer(),
            pipeline_->audioProcessor, std::move(options), 2, 0.3f, 1000, false,
            [this, observer = std::move(observer), logged = log.callback()](const State& oldState,
                                                                            const State& newState) {
                // The loop starts after transcriber_ is set, and reports come from the loop.
                if (observer) {
                    observer(*transcriber_, oldState, newState);
                }
                logged(oldState, newState);
            },
            [] { return true; });
        loop_ = std::thread(
            [this] { System::Concurrency::blockingRun(transcriber_->startStreamTranscription()); });
    }
    ~StreamingFixture() {
        transcriber_->stopStreamTranscription();
        loop_.join();
    }

    // The loop waits for audio once the recording runs.
    bool waitUntilListening() {
        return log.waitFor([](const State& state) { return state.currentText == "Waiting for speech..."; });
    }

    // `seconds` of quiet sound in one block, so that a run sees all of it or none.
    void speak(double seconds) {
        const std::vector<float> sound(std::size_t(seconds * 16'000), 0.01f);
        ASSERT_TRUE(pipeline_->device.deliver(AudioTestSignals::buffer(16'000, {sound})));
    }

    StateLog log;
    std::unique_ptr<Pipeline> pipeline_;
    std::shared_ptr<AudioStreamTranscriber> transcriber_;

private:
    std::thread loop_;
};

TEST(StreamingTranscriberTest, OlderSegmentsAreConfirmedAndTheNewestStayOpenAsAudioArrives) {
    StreamingFixture fixture(streamingOptions());
    ASSERT_TRUE(fixture.waitUntilListening());

    fixture.speak(2);
    ASSERT_TRUE(fixture.log.waitFor([](const State& state) { return !state.unconfirmedSegments.empty(); }));
    auto state = fixture.transcriber_->state();
    EXPECT_EQ(state.lastBufferSize, 32'000);
    EXPECT_EQ(texts(state.confirmedSegments), (std::vector<std::string>{" one"}));
    EXPECT_EQ(texts(state.unconfirmedSegments), (std::vector<std::string>{" two", " three"}));
    EXPECT_EQ(state.lastConfirmedSegmentEndSeconds, 1.0f);

    // The next run starts where the confirmed text ends.
    fixture.speak(2);
    ASSERT_TRUE(fixture.log.waitFor([](const State& state) { return state.confirmedSegments.size() == 2; }));
    ASSERT_TRUE(fixture.log.waitFor([](const State& state) {
        return state.lastBufferSize == 64'000 && state.currentText.empty() &&
               !state.unconfirmedSegments.empty() && state.unconfirmedSegments.front().start == 2.0f;
    }));
    state = fixture.transcriber_->state();
    ASSERT_EQ(state.confirmedSegments.size(), 2u);
    EXPECT_EQ(state.confirmedSegments[1].start, 1.0f);
    EXPECT_EQ(state.confirmedSegments[1].end, 2.0f);
    EXPECT_EQ(state.lastConfirmedSegmentEndSeconds, 2.0f);
    EXPECT_EQ(texts(state.unconfirmedSegments), (std::vector<std::string>{" two", " three"}));

    // While a run decoded, the text of its window grew token by token.
    bool sawPartialText = false;
    for (const auto& seen : fixture.log.states()) {
        sawPartialText = sawPartialText || seen.currentText == " one two";
    }
    EXPECT_TRUE(sawPartialText);
}

// An attempt rejected by the fallback test starts over with a shorter text; that is no finished window, so
// its text must not land among the unconfirmed texts.
TEST(StreamingTranscriberTest, TheTextOfARejectedAttemptIsDropped) {
    auto options = streamingOptions();
    options.compressionRatioThreshold = 0.01f;
    options.temperatureFallbackCount = 1;
    StreamingFixture fixture(options);
    ASSERT_TRUE(fixture.waitUntilListening());
    fixture.speak(2);
    ASSERT_TRUE(fixture.log.waitFor([](const State& state) { return !state.unconfirmedSegments.empty(); }));

    bool sawSecondAttempt = false;
    for (const auto& seen : fixture.log.states()) {
        EXPECT_TRUE(seen.unconfirmedText.empty()) << seen.unconfirmedText.front();
        sawSecondAttempt = sawSecondAttempt || seen.currentFallbacks == 1;
    }
    EXPECT_TRUE(sawSecondAttempt);
}

TEST(StreamingTranscriberTest, StartingWhileRecordingOrWithoutTheMicrophoneDoesNothing) {
    auto pipeline = Pipeline::scripted(threeSegments());
    StateLog log;
    auto refused = std::make_shared<AudioStreamTranscriber>(
        pipeline->encoder, pipeline->extractor, pipeline->seeker, pipeline->decoder, tokenizer(),
        pipeline->audioProcessor, streamingOptions(), 2, 0.3f, 60, false, log.callback(),
        [] { return false; });
    System::Concurrency::blockingRun(refused->startStreamTranscription());
    EXPECT_FALSE(refused->state().isRecording);
    EXPECT_TRUE(log.states().empty());

    StreamingFixture fixture(streamingOptions());
    ASSERT_TRUE(fixture.waitUntilListening());
    // A second start returns at once and leaves the running loop alone.
    System::Concurrency::blockingRun(fixture.transcriber_->startStreamTranscription());
    EXPECT_TRUE(fixture.transcriber_->state().isRecording);
}

// A report handler that waits for another thread must not hold up that thread: reading the state from
// elsewhere while a report is handled finishes.
TEST(StreamingTranscriberTest, TheStateCanBeReadElsewhereWhileAReportIsHandled) {
    std::atomic<bool> asked{false};
    std::atomic<bool> answered{false};
    std::jthread reader;
    StreamingFixture fixture(
        streamingOptions(), [&](AudioStreamTranscriber& transcriber, const State&, const State&) {
            if (asked.exchange(true)) {
                return;
            }
            auto done = std::make_shared<std::promise<void>>();
            auto reading = done->get_future();
            reader = std::jthread([&transcriber, done] {
                (void)transcriber.state();
                done->set_value();
            });
            answered = reading.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
        });
    ASSERT_TRUE(fixture.waitUntilListening());
    EXPECT_TRUE(asked);
    EXPECT_TRUE(answered) << "another thread could not read the state while a report was handled";
}

// The capture thread only hands a block over: the energy it brings is reported from the transcriber's own
// side, so a report handler never runs on (and never holds up) the audio thread.
TEST(StreamingTranscriberTest, CapturedBlocksAreReportedOffTheCaptureThread) {
    std::mutex mutex;
    std::vector<std::thread::id> energyReporters;
    StreamingFixture fixture(streamingOptions(),
                             [&](AudioStreamTranscriber&, const State& oldState, const State& newState) {
                                 if (oldState.bufferEnergy != newState.bufferEnergy) {
                                     std::lock_guard lock(mutex);
                                     energyReporters.push_back(std::this_thread::get_id());
                                 }
                             });
    ASSERT_TRUE(fixture.waitUntilListening());
    std::thread::id captureThread;
    std::thread capture([&] {
        captureThread = std::this_thread::get_id();
        fixture.speak(0.5);
    });
    capture.join();
    ASSERT_TRUE(fixture.log.waitFor([](const State& state) { return !state.bufferEnergy.empty(); }));
    std::lock_guard lock(mutex);
    ASSERT_FALSE(energyReporters.empty());
    for (const auto& reporter : energyReporters) {
        EXPECT_NE(reporter, captureThread);
    }
}

struct EarlyStopCase {
    std::string name;
    std::vector<int> tokens;
    std::optional<float> avgLogprob;
    std::optional<float> compressionRatioThreshold;
    std::optional<float> logProbThreshold;
    std::optional<bool> expected;
    friend void PrintTo(const EarlyStopCase& param, std::ostream* out) { *out << param.name; }
};

class ShouldStopEarlyTest : public ::testing::TestWithParam<EarlyStopCase> {};

TEST_P(ShouldStopEarlyTest, AnswersFromTheNewestTokensAndTheAverage) {
    const auto& param = GetParam();
    TranscriptionProgress progress;
    progress.tokens = param.tokens;
    progress.avgLogprob = param.avgLogprob;
    DecodingOptions options;
    options.compressionRatioThreshold = param.compressionRatioThreshold;
    options.logProbThreshold = param.logProbThreshold;
    EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(progress, options, 10), param.expected);
}

const std::vector<int> repeated(20, 7);

INSTANTIATE_TEST_SUITE_P(
    Cases, ShouldStopEarlyTest,
    ::testing::Values(EarlyStopCase{"RepetitiveTokens", repeated, std::nullopt, 2.4f, std::nullopt, false},
                      // No threshold is no test, not a threshold of 0 that every text exceeds.
                      EarlyStopCase{"NoCompressionThreshold", repeated, std::nullopt, std::nullopt,
                                    std::nullopt, std::nullopt},
                      EarlyStopCase{"NoMoreTokensThanTheWindow", std::vector<int>(10, 7), std::nullopt, 2.4f,
                                    std::nullopt, std::nullopt},
                      EarlyStopCase{"LowAverage", {1, 2, 3}, -2.0f, 2.4f, -1.0f, false},
                      EarlyStopCase{"AverageAtTheThreshold", {1, 2, 3}, -1.0f, 2.4f, -1.0f, std::nullopt},
                      EarlyStopCase{
                          "NoLogProbThreshold", {1, 2, 3}, -5.0f, 2.4f, std::nullopt, std::nullopt}),
    [](const auto& info) { return info.param.name; });

} // namespace
