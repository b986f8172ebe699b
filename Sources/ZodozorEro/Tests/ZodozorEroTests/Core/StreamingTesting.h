#pragma once

// What the streaming transcriber's tests share: a log of its reports and a script for the scripted decoder.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "PipelineTesting.h"
#include "ZodozorEro/Core/AudioStreamTranscriber.h"

namespace StreamingTesting {

using State = ZodozorEro::AudioStreamTranscriber::State;
using PipelineTesting::encoded;
using PipelineTesting::timestamp;
using PipelineTesting::tokenizer;
using TinyModelGenerator::ScriptStep;
using ZodozorEro::DecodingOptions;
using ZodozorEro::TranscriptionSegment;

// Every state the transcriber reported, for waiting on and for looking back at.
class StateLog {
public:
    ZodozorEro::AudioStreamTranscriber::StateChangeCallback callback() {
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
inline std::vector<ScriptStep> threeSegments() {
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

inline DecodingOptions streamingOptions() {
    DecodingOptions options;
    options.language = "en";
    options.skipSpecialTokens = true;
    options.compressionRatioThreshold = std::nullopt;
    options.logProbThreshold = std::nullopt;
    options.firstTokenLogProbThreshold = std::nullopt;
    options.noSpeechThreshold = std::nullopt;
    return options;
}

inline std::vector<std::string> texts(const std::vector<TranscriptionSegment>& segments) {
    std::vector<std::string> result;
    for (const auto& segment : segments) {
        result.push_back(segment.text);
    }
    return result;
}

} // namespace StreamingTesting
