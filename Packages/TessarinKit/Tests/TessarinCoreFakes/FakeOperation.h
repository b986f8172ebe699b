#pragma once

#include "System/Concurrency/Task.h"

#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <type_traits>
#include <utility>

namespace TessarinCore::Fakes {

// One operation of a fake port, completed when the test says so. A call answers at once unless the
// operation is held; held calls wait, oldest first, until the test resumes them. The answer is the next
// scripted one, else the fake's own default; either may throw.
template <class T>
class FakeOperation {
public:
    using Answer = std::function<T()>;

    // Scripts the answer of the next call that completes.
    void willAnswer(Answer answer) { scripted_.push_back(std::move(answer)); }
    template <class U = T>
    requires(!std::is_void_v<U>) void willReturn(U value) {
        willAnswer([value = std::move(value)]() -> T { return value; });
    }
    template <class E>
    void willThrow(E error) {
        willAnswer([error = std::move(error)]() -> T { throw error; });
    }

    // From now on calls wait for the test.
    void hold() { held_ = true; }
    // Stops holding and resumes every waiting call.
    void release() {
        held_ = false;
        while (resumeNext()) {
        }
    }
    // Resumes the oldest waiting call (it continues on its own executor); false when none waits.
    bool resumeNext() {
        if (waiting_.empty()) {
            return false;
        }
        auto next = std::move(waiting_.front());
        waiting_.pop_front();
        next.resume();
        return true;
    }
    std::size_t waiting() const { return waiting_.size(); }
    int calls() const { return calls_; }

    // For the fake: counts the call, waits while held, then answers.
    System::Concurrency::Task<T> call(Answer fallback) {
        ++calls_;
        if (held_) {
            co_await System::Concurrency::withContinuation<void>(
                [this](System::Concurrency::Continuation<void> continuation) {
                    waiting_.push_back(std::move(continuation));
                });
        }
        Answer answer = std::move(fallback);
        if (!scripted_.empty()) {
            answer = std::move(scripted_.front());
            scripted_.pop_front();
        }
        co_return answer();
    }

private:
    bool held_ = false;
    int calls_ = 0;
    std::deque<Answer> scripted_;
    std::deque<System::Concurrency::Continuation<void>> waiting_;
};

} // namespace TessarinCore::Fakes
