#pragma once

#include "System/Concurrency/AsyncStream.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace VuzadoDudi {

// Hands one sequence of states to any number of subscribers. Each subscriber gets a stream of its own that
// starts with the latest state (or the initial state, while nothing has been published) and then receives
// every later state; no state is dropped for a slow reader. The broadcaster never finishes a stream: a reader
// stops when it has seen the state it waits for, and a stream whose reader went away is forgotten. Safe from
// any thread.
template <class T>
class Broadcaster {
public:
    using Stream = System::Concurrency::AsyncStream<T>;

    explicit Broadcaster(std::function<std::optional<T>()> initialState)
        : shared_(std::make_shared<Shared>()) {
        shared_->initialState = std::move(initialState);
    }

    ~Broadcaster() {
        // Dropped outside the lock: a stream that ends calls back to unsubscribe.
        std::map<std::uint64_t, typename Stream::Continuation> subscribers;
        {
            std::lock_guard lock(shared_->mutex);
            subscribers.swap(shared_->subscribers);
        }
    }

    Broadcaster(const Broadcaster&) = delete;
    Broadcaster& operator=(const Broadcaster&) = delete;

    // A new subscription. Its first state is delivered under the same lock that publishing takes, so a state
    // published meanwhile arrives once, in order.
    Stream subscribe() {
        auto [stream, continuation] = Stream::makeStream();
        std::unique_lock lock(shared_->mutex);
        const auto id = shared_->nextId++;
        std::optional<T> first = shared_->latestState;
        if (!first && shared_->initialState) {
            first = shared_->initialState();
        }
        if (first) {
            continuation.yield(*first);
        }
        shared_->subscribers.emplace(id, continuation);
        lock.unlock();
        continuation.onTermination([weak = std::weak_ptr<Shared>(shared_), id](auto) {
            if (const auto shared = weak.lock()) {
                std::lock_guard relock(shared->mutex);
                shared->subscribers.erase(id);
            }
        });
        return std::move(stream);
    }

    void broadcast(T state) {
        std::lock_guard lock(shared_->mutex);
        shared_->latestState = state;
        for (const auto& [id, continuation] : shared_->subscribers) {
            continuation.yield(state);
        }
    }

    std::optional<T> latestState() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->latestState;
    }

    std::size_t subscriberCount() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->subscribers.size();
    }

private:
    struct Shared {
        std::mutex mutex;
        std::function<std::optional<T>()> initialState;
        std::optional<T> latestState;
        std::map<std::uint64_t, typename Stream::Continuation> subscribers;
        std::uint64_t nextId = 1;
    };
    std::shared_ptr<Shared> shared_;
};

} // namespace VuzadoDudi
