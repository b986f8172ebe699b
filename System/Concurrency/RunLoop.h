#pragma once

#include "System/Concurrency/Executor.h"

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

namespace System::Concurrency {

// An executor for one thread: `run()` waits on epoll for posted jobs (an eventfd) and due timers (a timerfd
// on CLOCK_BOOTTIME, so timers keep counting while the machine sleeps) until `stop()`.
class RunLoop final : public Executor {
public:
    RunLoop();
    ~RunLoop() override;
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    void post(Job job) override;
    Instant now() const override;
    ScheduledWork scheduleAt(Instant deadline, Job job) override;

    // Runs jobs until `stop()` is called (from any thread, or from a job).
    void run();
    // Runs jobs until `done()` holds; it is checked after every job.
    void runUntil(const std::function<bool()>& done);
    void stop();

private:
    struct Timer {
        Job job;
        std::shared_ptr<std::atomic<bool>> cancelled;
    };
    void loop(const std::function<bool()>* done);
    void wake();
    void armTimerLocked();

    int epollFd_ = -1;
    int wakeFd_ = -1;
    int timerFd_ = -1;
    std::atomic<bool> stopped_{false};
    std::mutex mutex_;
    std::deque<Job> jobs_;
    std::map<std::pair<Instant, std::uint64_t>, Timer> timers_;
    std::uint64_t nextSequence_ = 0;
};

} // namespace System::Concurrency
