#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <mutex>

namespace System::Concurrency {

// Thrown by operations that end early because their task was cancelled.
class CancellationError : public std::exception {
public:
    const char* what() const noexcept override { return "The operation was cancelled."; }
};

// The cancellation flag of one task, shared by every coroutine that runs as part of it. Cancellation is
// cooperative: it sets the flag and runs the registered callbacks, which wake whatever the task waits on.
class CancellationState {
public:
    using CallbackId = std::uint64_t;

    bool isCancelled() const { return cancelled_.load(); }

    // Sets the flag and runs every registered callback once, outside the lock. Later calls do nothing.
    void cancel();

    // Registers `callback` to run on cancellation. When the task is already cancelled it runs at once, on the
    // calling thread, and 0 is returned.
    CallbackId onCancel(std::function<void()> callback);
    // Forgets a callback that has not run; safe with ids that already ran.
    void removeCallback(CallbackId id);

private:
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::map<CallbackId, std::function<void()>> callbacks_;
    CallbackId nextId_ = 1;
};

} // namespace System::Concurrency
