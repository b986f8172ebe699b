#pragma once

#include "System/Concurrency/Task.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace System::Concurrency {

struct BufferingPolicy {
    // 0 means no bound.
    std::size_t limit = 0;
    static BufferingPolicy unbounded() { return {}; }
    // Keeps only the newest `n` elements not yet consumed; older ones are dropped as new ones arrive.
    static BufferingPolicy bufferingNewest(std::size_t n) { return {n == 0 ? 1 : n}; }
};

enum class StreamTermination { finished, cancelled };
enum class YieldResult { enqueued, dropped, terminated };

namespace detail {

template <class T>
class StreamState {
public:
    explicit StreamState(BufferingPolicy policy)
        : policy_(policy) {}

    YieldResult yield(T value) {
        Waiter waiter;
        YieldResult result = YieldResult::enqueued;
        {
            std::lock_guard lock(mutex_);
            if (finished_) {
                return YieldResult::terminated;
            }
            buffer_.push_back(std::move(value));
            if (policy_.limit != 0 && buffer_.size() > policy_.limit) {
                buffer_.pop_front();
                result = YieldResult::dropped;
            }
            waiter = std::exchange(waiter_, {});
        }
        waiter.wake();
        return result;
    }

    // No more elements are accepted; the consumer still receives what is buffered.
    void finish() { terminate(StreamTermination::finished); }

    // The consumer went away: buffered elements are discarded.
    void cancel() { terminate(StreamTermination::cancelled); }

    void setOnTermination(std::function<void(StreamTermination)> handler) {
        std::optional<StreamTermination> already;
        {
            std::lock_guard lock(mutex_);
            if (!termination_) {
                onTermination_ = std::move(handler);
                return;
            }
            already = termination_;
        }
        handler(*already);
    }

    struct Waiter {
        Executor* executor = nullptr;
        std::coroutine_handle<> handle;
        std::uint64_t generation = 0;
        void wake() const {
            if (handle) {
                auto target = handle;
                executor->post([target] { target.resume(); });
            }
        }
    };

    // Returns true when the caller must suspend (nothing to take yet); the waiter is then registered.
    bool suspendIfEmpty(Executor* executor, std::coroutine_handle<> handle, std::uint64_t& generation) {
        std::lock_guard lock(mutex_);
        if (!buffer_.empty() || finished_) {
            return false;
        }
        generation = ++generation_;
        waiter_ = Waiter{executor, handle, generation};
        return true;
    }

    // A cancellation callback of a `next()` that may already have been served: only a still-waiting consumer
    // of the same generation is ended.
    void cancelWaiting(std::uint64_t generation) {
        {
            std::lock_guard lock(mutex_);
            if (!waiter_.handle || waiter_.generation != generation) {
                return;
            }
        }
        cancel();
    }

    std::optional<T> take() {
        std::lock_guard lock(mutex_);
        if (buffer_.empty()) {
            return std::nullopt;
        }
        std::optional<T> value(std::move(buffer_.front()));
        buffer_.pop_front();
        return value;
    }

private:
    void terminate(StreamTermination reason) {
        Waiter waiter;
        std::function<void(StreamTermination)> handler;
        {
            std::lock_guard lock(mutex_);
            if (reason == StreamTermination::cancelled) {
                buffer_.clear();
            }
            finished_ = true;
            if (termination_) {
                return;
            }
            termination_ = reason;
            handler = std::move(onTermination_);
            waiter = std::exchange(waiter_, {});
        }
        waiter.wake();
        if (handler) {
            handler(reason);
        }
    }

    BufferingPolicy policy_;
    std::mutex mutex_;
    std::deque<T> buffer_;
    bool finished_ = false;
    std::optional<StreamTermination> termination_;
    std::function<void(StreamTermination)> onTermination_;
    Waiter waiter_;
    std::uint64_t generation_ = 0;
};

} // namespace detail

// An asynchronous sequence with one consumer and any number of producers on any threads. The consumer awaits
// `next()`, which gives the elements in order and then nothing once the stream has finished and drained, or
// at once when the consumer's task is cancelled. Destroying the consumer's stream object cancels the stream.
template <class T>
class AsyncStream {
public:
    // The producer side; copies share the stream. When the last copy goes away the stream finishes.
    class Continuation {
    public:
        Continuation() = default;

        YieldResult yield(T value) const {
            return token_ ? token_->state->yield(std::move(value)) : YieldResult::terminated;
        }
        void finish() const {
            if (token_) {
                token_->state->finish();
            }
        }
        // Runs once when the stream finishes or is cancelled, outside the stream's lock; at once when it
        // already has.
        void onTermination(std::function<void(StreamTermination)> handler) const {
            if (token_) {
                token_->state->setOnTermination(std::move(handler));
            }
        }

    private:
        friend class AsyncStream;
        struct Token {
            std::shared_ptr<detail::StreamState<T>> state;
            ~Token() {
                if (state) {
                    state->finish();
                }
            }
        };
        explicit Continuation(std::shared_ptr<detail::StreamState<T>> state)
            : token_(std::make_shared<Token>()) {
            token_->state = std::move(state);
        }
        std::shared_ptr<Token> token_;
    };

    static std::pair<AsyncStream, Continuation>
    makeStream(BufferingPolicy policy = BufferingPolicy::unbounded()) {
        auto state = std::make_shared<detail::StreamState<T>>(policy);
        return {AsyncStream(state), Continuation(state)};
    }

    AsyncStream() = default;
    AsyncStream(AsyncStream&& other) noexcept
        : state_(std::move(other.state_)) {}
    AsyncStream& operator=(AsyncStream&& other) noexcept {
        if (this != &other) {
            release();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    AsyncStream(const AsyncStream&) = delete;
    AsyncStream& operator=(const AsyncStream&) = delete;
    ~AsyncStream() { release(); }

    bool isValid() const { return static_cast<bool>(state_); }

    struct NextAwaiter {
        std::shared_ptr<detail::StreamState<T>> state;
        std::shared_ptr<CancellationState> cancellation;
        CancellationState::CallbackId callbackId = 0;

        bool await_ready() noexcept { return false; }

        template <class P>
        bool await_suspend(std::coroutine_handle<P> awaiting) {
            const TaskContext& context = awaiting.promise().context;
            cancellation = context.cancellation;
            if (cancellation->isCancelled()) {
                state->cancel();
                return false;
            }
            std::uint64_t generation = 0;
            if (!state->suspendIfEmpty(context.executor, awaiting, generation)) {
                return false;
            }
            // Runs at once when cancellation raced in; the executor cannot resume us before we return.
            callbackId = cancellation->onCancel([weak = std::weak_ptr(state), generation] {
                if (auto strong = weak.lock()) {
                    strong->cancelWaiting(generation);
                }
            });
            return true;
        }

        std::optional<T> await_resume() {
            if (callbackId != 0) {
                cancellation->removeCallback(callbackId);
            }
            if (cancellation->isCancelled()) {
                state->cancel();
                return std::nullopt;
            }
            return state->take();
        }
    };

    // The next element, or nothing when the stream has ended or the current task was cancelled.
    NextAwaiter next() { return NextAwaiter{state_}; }

    // Cancels the stream from the consumer's side: the producers' yields are dropped from now on.
    void cancel() {
        if (state_) {
            state_->cancel();
        }
    }

private:
    explicit AsyncStream(std::shared_ptr<detail::StreamState<T>> state)
        : state_(std::move(state)) {}
    void release() {
        if (state_) {
            state_->cancel();
            state_.reset();
        }
    }
    std::shared_ptr<detail::StreamState<T>> state_;
};

} // namespace System::Concurrency
