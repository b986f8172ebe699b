#pragma once

#include "System/Concurrency/Cancellation.h"
#include "System/Concurrency/Executor.h"

#include <coroutine>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace System::Concurrency {

// What every coroutine of one task shares: the executor it runs on and its cancellation flag. A Task awaited
// by another runs as part of the awaiting task; `spawn` starts a new task with a context of its own.
struct TaskContext {
    Executor* executor = nullptr;
    std::shared_ptr<CancellationState> cancellation;
};

namespace detail {

struct PromiseBase {
    TaskContext context;
    std::coroutine_handle<> continuation;
    std::exception_ptr exception;

    std::suspend_always initial_suspend() noexcept { return {}; }

    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> self) noexcept {
            auto next = self.promise().continuation;
            return next ? next : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { exception = std::current_exception(); }
    void rethrowIfFailed() const {
        if (exception) {
            std::rethrow_exception(exception);
        }
    }
};

// Awaiters that only read the current task's context and never suspend.
template <class F>
struct ContextReader {
    F read;
    std::invoke_result_t<F, const TaskContext&> value{};
    bool await_ready() noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> self) {
        value = read(self.promise().context);
        return false;
    }
    auto await_resume() { return std::move(value); }
};

} // namespace detail

template <class T = void>
class Task;

namespace detail {

template <class T>
struct Promise : PromiseBase {
    std::optional<T> value;
    Task<T> get_return_object() noexcept;
    template <class U>
    void return_value(U&& result) {
        value.emplace(std::forward<U>(result));
    }
    T takeResult() {
        rethrowIfFailed();
        return std::move(*value);
    }
};

template <>
struct Promise<void> : PromiseBase {
    Task<void> get_return_object() noexcept;
    void return_void() noexcept {}
    void takeResult() { rethrowIfFailed(); }
};

} // namespace detail

// A lazy coroutine: nothing runs until it is awaited (`co_await std::move(task)` or `co_await makeTask()`) or
// handed to `spawn`. An awaited task runs on its awaiter's executor as part of its awaiter's task.
template <class T>
class [[nodiscard]] Task {
public:
    using promise_type = detail::Promise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    Task() = default;
    explicit Task(Handle handle)
        : handle_(handle) {}
    Task(Task&& other) noexcept
        : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { reset(); }

    bool isValid() const { return static_cast<bool>(handle_); }

    struct Awaiter {
        Handle handle;
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> awaiting) noexcept {
            handle.promise().context = awaiting.promise().context;
            handle.promise().continuation = awaiting;
            return handle;
        }
        T await_resume() { return handle.promise().takeResult(); }
    };
    Awaiter operator co_await() && noexcept { return Awaiter{handle_}; }

    // For `spawn`: hands the coroutine over.
    Handle release() { return std::exchange(handle_, {}); }

private:
    void reset() {
        if (handle_) {
            handle_.destroy();
            handle_ = {};
        }
    }
    Handle handle_;
};

namespace detail {
template <class T>
Task<T> Promise<T>::get_return_object() noexcept {
    return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() noexcept {
    return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

// The outcome of a spawned task, shared by its handle and the coroutine that runs it.
template <class T>
struct JoinState {
    using Stored = std::conditional_t<std::is_void_v<T>, bool, T>;

    std::shared_ptr<CancellationState> cancellation = std::make_shared<CancellationState>();
    std::mutex mutex;
    bool done = false;
    std::optional<Stored> value;
    std::exception_ptr exception;
    std::vector<std::pair<Executor*, std::coroutine_handle<>>> waiters;

    void complete(std::optional<Stored> result, std::exception_ptr error) {
        std::vector<std::pair<Executor*, std::coroutine_handle<>>> toWake;
        {
            std::lock_guard lock(mutex);
            value = std::move(result);
            exception = error;
            done = true;
            toWake.swap(waiters);
        }
        for (auto& [executor, handle] : toWake) {
            executor->post([handle] { handle.resume(); });
        }
    }
};

// The root coroutine of a spawned task: it owns the task, records the outcome and frees itself at the end.
struct Detached {
    struct promise_type : PromiseBase {
        Detached get_return_object() noexcept {
            return Detached{std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
    };
    std::coroutine_handle<promise_type> handle;
};

template <class T>
Detached runDetached(Task<T> task, std::shared_ptr<JoinState<T>> state) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            state->complete(true, nullptr);
        } else {
            state->complete(co_await std::move(task), nullptr);
        }
    } catch (...) {
        state->complete(std::nullopt, std::current_exception());
    }
}

} // namespace detail

// A running task started by `spawn`. Dropping the handle does not stop the task.
template <class T = void>
class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<detail::JoinState<T>> state)
        : state_(std::move(state)) {}

    bool isValid() const { return static_cast<bool>(state_); }
    // Requests cooperative cancellation: sleeps and stream iterations inside the task end at once.
    void cancel() const {
        if (state_) {
            state_->cancellation->cancel();
        }
    }
    bool isCancelled() const { return state_ && state_->cancellation->isCancelled(); }
    bool isDone() const {
        if (!state_) {
            return false;
        }
        std::lock_guard lock(state_->mutex);
        return state_->done;
    }

    // Waits for the task's end; gives its value or rethrows its error. Waiting does not cancel the task. Any
    // number of callers may wait; a move-only value can be taken by one of them only.
    Task<T> value() const { return awaitValue(state_); }

    // The outcome of a finished task (check `isDone()` first); rethrows its error. A move-only value is moved
    // out, so it can be taken once.
    T result() const {
        std::lock_guard lock(state_->mutex);
        return take(*state_);
    }

    bool operator==(const TaskHandle& other) const { return state_ == other.state_; }

private:
    // Copies a copyable value, so every joiner gets it; moves a move-only one (a stream, say) out.
    static T take(detail::JoinState<T>& state) {
        if (state.exception) {
            std::rethrow_exception(state.exception);
        }
        if constexpr (std::is_copy_constructible_v<T>) {
            return *state.value;
        } else if constexpr (!std::is_void_v<T>) {
            return std::move(*state.value);
        }
    }

    struct JoinAwaiter {
        std::shared_ptr<detail::JoinState<T>> state;
        bool await_ready() noexcept { return false; }
        template <class P>
        bool await_suspend(std::coroutine_handle<P> awaiting) {
            std::lock_guard lock(state->mutex);
            if (state->done) {
                return false;
            }
            state->waiters.emplace_back(awaiting.promise().context.executor, awaiting);
            return true;
        }
        void await_resume() noexcept {}
    };

    static Task<T> awaitValue(std::shared_ptr<detail::JoinState<T>> state) {
        co_await JoinAwaiter{state};
        std::lock_guard lock(state->mutex);
        co_return take(*state);
    }

    std::shared_ptr<detail::JoinState<T>> state_;
};

// Starts `task` as a new task on `executor` (its first step runs in a posted job, never inline). The new task
// has its own cancellation flag: cancelling the spawner does not cancel it.
template <class T>
TaskHandle<T> spawn(Executor& executor, Task<T> task) {
    auto state = std::make_shared<detail::JoinState<T>>();
    auto root = detail::runDetached(std::move(task), state);
    root.handle.promise().context = TaskContext{&executor, state->cancellation};
    executor.post([handle = root.handle] { handle.resume(); });
    return TaskHandle<T>(state);
}

// The executor the current task runs on.
inline auto currentExecutor() {
    return detail::ContextReader{[](const TaskContext& context) { return context.executor; }};
}

// Whether the current task has been cancelled.
inline auto isCancelled() {
    return detail::ContextReader{
        [](const TaskContext& context) { return context.cancellation->isCancelled(); }};
}

// The current task's cancellation flag, for operations that register a callback of their own.
inline auto currentCancellation() {
    return detail::ContextReader{[](const TaskContext& context) { return context.cancellation; }};
}

// Throws CancellationError when the current task has been cancelled.
inline Task<void> checkCancellation() {
    if (co_await isCancelled()) {
        throw CancellationError();
    }
}

// Suspends for `duration` on the current executor's clock. Throws CancellationError when the task is (or
// gets) cancelled, at once.
Task<void> sleep(Duration duration);
// Suspends until `deadline` on the current executor's clock; cancellation as for `sleep`.
Task<void> sleepUntil(Instant deadline);

template <class T>
class Continuation;

namespace detail {
template <class T>
struct ContinuationState {
    using Stored = std::conditional_t<std::is_void_v<T>, bool, T>;
    Executor* executor = nullptr;
    std::coroutine_handle<> handle;
    std::atomic<bool> resumed{false};
    std::optional<Stored> value;
    std::exception_ptr exception;

    bool claim() { return !resumed.exchange(true); }
    void wake() {
        auto target = handle;
        executor->post([target] { target.resume(); });
    }
};
} // namespace detail

// The resume side of `withContinuation`: call `resume` or `resumeThrowing` exactly once, from any thread; the
// suspended task continues on its own executor. Later calls are ignored.
template <class T>
class Continuation {
public:
    explicit Continuation(std::shared_ptr<detail::ContinuationState<T>> state)
        : state_(std::move(state)) {}

    template <class U = T>
    requires(!std::is_void_v<U>) void resume(U value) const {
        if (state_->claim()) {
            state_->value.emplace(std::move(value));
            state_->wake();
        }
    }
    template <class U = T>
    requires std::is_void_v<U>
    void resume() const {
        if (state_->claim()) {
            state_->value.emplace(true);
            state_->wake();
        }
    }
    void resumeThrowing(std::exception_ptr error) const {
        if (state_->claim()) {
            state_->exception = std::move(error);
            state_->wake();
        }
    }

private:
    std::shared_ptr<detail::ContinuationState<T>> state_;
};

namespace detail {
template <class T, class F>
struct ContinuationAwaiter {
    F start;
    std::shared_ptr<ContinuationState<T>> state = std::make_shared<ContinuationState<T>>();

    bool await_ready() noexcept { return false; }
    template <class P>
    void await_suspend(std::coroutine_handle<P> awaiting) {
        state->executor = awaiting.promise().context.executor;
        state->handle = awaiting;
        // The resume may come from another thread at once, so nothing in this frame is touched after `start`.
        auto shared = state;
        auto begin = std::move(start);
        begin(Continuation<T>(std::move(shared)));
    }
    T await_resume() {
        if (state->exception) {
            std::rethrow_exception(state->exception);
        }
        if constexpr (!std::is_void_v<T>) {
            return std::move(*state->value);
        }
    }
};
} // namespace detail

// Suspends the current task and calls `start(continuation)`, which hands the continuation to a callback or
// another thread; the task resumes with what the continuation is given.
template <class T, class F>
auto withContinuation(F start) {
    return detail::ContinuationAwaiter<T, F>{std::move(start)};
}

// Runs `work` on `target` (a SerialQueue, say) and resumes the caller on its own executor with the result, or
// rethrows what `work` threw.
template <class F>
Task<std::invoke_result_t<F>> runOn(Executor& target, F work) {
    using R = std::invoke_result_t<F>;
    auto shared = std::make_shared<F>(std::move(work));
    co_return co_await withContinuation<R>([&target, shared](Continuation<R> continuation) {
        target.post([shared, continuation] {
            try {
                if constexpr (std::is_void_v<R>) {
                    (*shared)();
                    continuation.resume();
                } else {
                    continuation.resume((*shared)());
                }
            } catch (...) {
                continuation.resumeThrowing(std::current_exception());
            }
        });
    });
}

} // namespace System::Concurrency
