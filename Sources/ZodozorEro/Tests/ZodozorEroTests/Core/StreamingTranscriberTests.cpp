// The streaming transcriber on the fake audio device, with the scripted decoder: which segments are
// confirmed and which stay open as audio arrives.

#include <condition_variable>
#include <thread>

#include <gtest/gtest.h>

#include "Audio/AudioTestSignals.h"
#include "PipelineTesting.h"
#include "System/Concurrency/BlockingRun.h"
#include "ZodozorEro/Core/AudioStreamTranscriber.h"

namespace {

using namespace ZodozorEro;
using namespace PipelineTesting;
using TinyModelGenerator::ScriptStep;
using State = AudioStreamTranscriber::State;

// Every state the transcriber reported, for waiting on and for looking back at.
class StateLog {
public:
    AudioStreamTranscriber::StateChangeCallback callback() {
        return [this](const State&, const State& newState) {
            {
                std::lock_guard lock(mutex_);
                states_.push_back(newState);
            }
            changed_.notify_all();
        };
    }

    // Waits until a reported state satisfies `predicate`; fails the test (rather than hang) when none comes.
    bool waitFor(const std::function<bool(const State&)>& predicate) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::minutes(2),
                                 [&] { return std::any_of(states_.begin(), states_.end(), predicate); });
    }

    std::vector<State> states() const {
        std::lock_guard lock(mutex_);
        return states_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<State> states_;
};

// Three one-second segments, " one", " two" and " three", from the start of every run.
std::vector<ScriptStep> threeSegments() {
    std::vector<ScriptStep> script(3, ScriptStep::token(encoded(" x").front()));
    std::vector<int> tokens;
    const std::vector<std::string> words{" one", " two", " three"};
    for (std::size_t index = 0; index < words.size(); ++index) {
        for (int token : encoded(words[index])) {
            tokens.push_back(token);
        }
        tokens.push_back(timestamp(double(index + 1)));
        if (index + 1 < words.size()) {
            tokens.push_back(timestamp(double(index + 1)));
        }
    }
    tokens.push_back(tokenizer()->specialTokens().endToken);
    for (int token : tokens) {
        script.push_back(ScriptStep::token(token));
    }
    return script;
}

DecodingOptions streamingOptions() {
    DecodingOptions options;
    options.language = "en";
    options.skipSpecialTokens = true;
    options.compressionRatioThreshold = std::nullopt;
    options.logProbThreshold = std::nullopt;
    options.firstTokenLogProbThreshold = std::nullopt;
    options.noSpeechThreshold = std::nullopt;
    return options;
}

std::vector<std::string> texts(const std::vector<TranscriptionSegment>& segments) {
    std::vector<std::string> result;
    for (const auto& segment : segments) {
        result.push_back(segment.text);
    }
    return result;
}

// A transcriber over the scripted pipeline, its loop on a thread of its own.
class StreamingFixture {
public:
    explicit StreamingFixture(DecodingOptions options)
        : pipeline_(Pipeline::scripted(threeSegments())) {
        pipeline_->device.setInputFormat(System::Audio::AudioFormat{16'000, 1});
        transcriber_ = std::make_shared<AudioStreamTranscriber>(
            pipeline_->encoder, pipeline_->extractor, pipeline_->seeker, pipeline_->decoder, tokenizer(),
            pipeline_->audioProcessor, std::move(options), 2, 0.3f, 1000, false, log.callback(),
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
