#pragma once

#include "System/Concurrency/Instant.h"

#include <atomic>
#include <functional>
#include <memory>

namespace System::Concurrency {

// A handle to a job scheduled for a later instant. `cancel()` is safe from any thread; a cancelled job never
// runs, and cancelling after it ran has no effect. Copies refer to the same job.
class ScheduledWork {
public:
    ScheduledWork() = default;
    explicit ScheduledWork(std::shared_ptr<std::atomic<bool>> cancelled)
        : cancelled_(std::move(cancelled)) {}

    void cancel() const {
        if (cancelled_) {
            cancelled_->store(true);
        }
    }
    bool isCancelled() const { return cancelled_ && cancelled_->load(); }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// Runs jobs one at a time, in the order they were posted; a job never runs inline inside `post`. Coroutines
// rely on this: a task resumed by posting to its executor never runs concurrently with itself.
class Executor {
public:
    using Job = std::function<void()>;

    virtual ~Executor() = default;

    // Safe from any thread.
    virtual void post(Job job) = 0;
    // The executor's clock: the continuous clock for real executors, a virtual clock in tests.
    virtual Instant now() const = 0;
    // Runs `job` on this executor once `now()` has reached `deadline`. Safe from any thread.
    virtual ScheduledWork scheduleAt(Instant deadline, Job job) = 0;

    ScheduledWork scheduleAfter(Duration delay, Job job) { return scheduleAt(now() + delay, std::move(job)); }
};

} // namespace System::Concurrency
