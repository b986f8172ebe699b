#include "App/Platform/BoundedProbe.h"

#include "System/Audio/PulseAudioEngine.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace Parlindo {

namespace {

struct Question {
    std::chrono::steady_clock::time_point askedAt;
    std::optional<bool> answer;
};

} // namespace

struct BoundedProbe::State {
    std::function<bool()> ask;
    std::chrono::nanoseconds patience;
    std::mutex mutex;
    std::condition_variable answered;
    // The question still waiting for its answer, if any.
    std::shared_ptr<Question> pending;
};

BoundedProbe::BoundedProbe(std::function<bool()> ask, System::Concurrency::Duration patience)
    : state_(std::make_shared<State>()) {
    state_->ask = std::move(ask);
    state_->patience = std::chrono::nanoseconds(patience.nanosecondsSaturated());
}

bool BoundedProbe::operator()() const {
    std::unique_lock lock(state_->mutex);
    if (!state_->pending) {
        auto question = std::make_shared<Question>(Question{std::chrono::steady_clock::now(), std::nullopt});
        try {
            // Detached: a thread stuck in a hung service must not hold up whoever lets go of the probe.
            std::thread([state = state_, question] {
                bool answer = false;
                try {
                    answer = state->ask();
                } catch (...) {
                }
                std::lock_guard lock(state->mutex);
                question->answer = answer;
                if (state->pending == question) {
                    state->pending.reset();
                }
                state->answered.notify_all();
            }).detach();
        } catch (const std::system_error&) {
            return false;
        }
        state_->pending = question;
    }
    const std::shared_ptr<Question> question = state_->pending;
    state_->answered.wait_until(lock, question->askedAt + state_->patience,
                                [&] { return question->answer.has_value(); });
    return question->answer.value_or(false);
}

bool soundServerAnswers() {
    try {
        System::Audio::PulseAudioEngine engine;
        return engine.inputNode().outputFormat().isValid();
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace Parlindo
