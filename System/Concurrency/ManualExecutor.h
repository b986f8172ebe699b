#pragma once

#include "System/Concurrency/Executor.h"
#include "System/Concurrency/Task.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>

namespace System::Concurrency {

// An executor for tests: jobs run only when the test says so, in FIFO order, and time is virtual, so hours of
// timers pass in microseconds. `post` and `scheduleAt` are safe from any thread; the run methods belong to
// the test's thread.
class ManualExecutor final : public Executor {
public:
    explicit ManualExecutor(Instant start = Instant::sinceOrigin(Duration::seconds(std::int64_t{1000})));

    void post(Job job) override;
    Instant now() const override;
    ScheduledWork scheduleAt(Instant deadline, Job job) override;

    // Runs queued jobs and due timers until none is left; returns how many ran.
    std::size_t runUntilIdle();
    // Moves the clock forward by `delta`, firing each timer at its own deadline in order and running the work
    // it causes before the clock moves on.
    void advance(Duration delta);
    // Spawns `task`, runs until idle and returns its value or rethrows its error. A task still waiting for
    // something the test has not provided yet is a fault of the test: std::logic_error.
    template <class T>
    T runToCompletion(Task<T> task) {
        auto handle = spawn(*this, std::move(task));
        runUntilIdle();
        if (!handle.isDone()) {
            handle.cancel();
            runUntilIdle();
            throw std::logic_error(
                "the task did not finish: it waits for something the test has not provided");
        }
        return handle.result();
    }

    // The earliest pending timer, if any.
    std::optional<Instant> nextDeadline() const;
    bool hasPendingJobs() const;

private:
    struct Timer {
        Job job;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };
    bool runOne();
    void promoteDueTimersLocked();

    mutable std::mutex mutex_;
    Instant now_;
    std::deque<std::pair<Job, std::shared_ptr<std::atomic<bool>>>> jobs_;
    std::map<std::pair<Instant, std::uint64_t>, Timer> timers_;
    std::uint64_t nextSequence_ = 0;
};

} // namespace System::Concurrency
