#include "System/Concurrency/ManualExecutor.h"

namespace System::Concurrency {

ManualExecutor::ManualExecutor(Instant start)
    : now_(start) {}

void ManualExecutor::post(Job job) {
    std::lock_guard lock(mutex_);
    jobs_.emplace_back(std::move(job), nullptr);
}

Instant ManualExecutor::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

ScheduledWork ManualExecutor::scheduleAt(Instant deadline, Job job) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(mutex_);
    timers_.emplace(std::pair{deadline, nextSequence_++}, Timer{std::move(job), cancelled});
    return ScheduledWork(cancelled);
}

void ManualExecutor::promoteDueTimersLocked() {
    while (!timers_.empty() && timers_.begin()->first.first <= now_) {
        auto node = timers_.extract(timers_.begin());
        jobs_.emplace_back(std::move(node.mapped().job), std::move(node.mapped().cancelled));
    }
}

bool ManualExecutor::runOne() {
    std::pair<Job, std::shared_ptr<std::atomic<bool>>> next;
    {
        std::lock_guard lock(mutex_);
        promoteDueTimersLocked();
        if (jobs_.empty()) {
            return false;
        }
        next = std::move(jobs_.front());
        jobs_.pop_front();
    }
    if (!next.second || !next.second->load()) {
        next.first();
    }
    return true;
}

std::size_t ManualExecutor::runUntilIdle() {
    std::size_t count = 0;
    while (runOne()) {
        ++count;
    }
    return count;
}

void ManualExecutor::advance(Duration delta) {
    Instant target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + delta;
    }
    runUntilIdle();
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (timers_.empty() || timers_.begin()->first.first > target) {
                now_ = std::max(now_, target);
                break;
            }
            now_ = std::max(now_, timers_.begin()->first.first);
        }
        runUntilIdle();
    }
    runUntilIdle();
}

std::optional<Instant> ManualExecutor::nextDeadline() const {
    std::lock_guard lock(mutex_);
    if (timers_.empty()) {
        return std::nullopt;
    }
    return timers_.begin()->first.first;
}

bool ManualExecutor::hasPendingJobs() const {
    std::lock_guard lock(mutex_);
    return !jobs_.empty();
}

} // namespace System::Concurrency
