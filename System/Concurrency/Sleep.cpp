#include "System/Concurrency/Task.h"

namespace System::Concurrency {

namespace {

// One wait for a deadline. Whichever comes first, the timer or the task's cancellation, resumes the task; the
// other finds `fired` set and does nothing.
struct SleepState {
    std::atomic<bool> fired{false};
    bool cancelled = false;
    std::coroutine_handle<> handle;
    Executor* executor = nullptr;
};

struct SleepAwaiter {
    Instant deadline;
    std::shared_ptr<SleepState> state = std::make_shared<SleepState>();
    std::shared_ptr<CancellationState> cancellation;
    ScheduledWork timer;
    CancellationState::CallbackId callbackId = 0;

    bool await_ready() noexcept { return false; }

    template <class P>
    bool await_suspend(std::coroutine_handle<P> awaiting) {
        cancellation = awaiting.promise().context.cancellation;
        if (cancellation->isCancelled()) {
            state->cancelled = true;
            return false;
        }
        state->handle = awaiting;
        state->executor = awaiting.promise().context.executor;
        // The executor runs one job at a time and this one is still running, so neither wake-up below can
        // resume the task before await_suspend has returned.
        timer = state->executor->scheduleAt(deadline, [state = state] {
            if (!state->fired.exchange(true)) {
                state->handle.resume();
            }
        });
        callbackId = cancellation->onCancel([state = state] {
            if (!state->fired.exchange(true)) {
                state->cancelled = true;
                auto handle = state->handle;
                state->executor->post([handle] { handle.resume(); });
            }
        });
        return true;
    }

    void await_resume() {
        timer.cancel();
        if (callbackId != 0) {
            cancellation->removeCallback(callbackId);
        }
        if (state->cancelled) {
            throw CancellationError();
        }
    }
};

} // namespace

Task<void> sleepUntil(Instant deadline) {
    co_await SleepAwaiter{deadline};
}

Task<void> sleep(Duration duration) {
    Executor* executor = co_await currentExecutor();
    co_await SleepAwaiter{executor->now() + duration};
}

} // namespace System::Concurrency
