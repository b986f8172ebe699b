#pragma once

#include "System/Concurrency/RunLoop.h"

#include <string>
#include <thread>

namespace System::Concurrency {

// An executor with a worker thread of its own: jobs run one at a time, in order, off the caller's thread.
// Blocking system calls go here and report back to their caller's executor. Destroying the queue stops the
// worker; jobs still queued are dropped.
class SerialQueue final : public Executor {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(Job job) override { loop_.post(std::move(job)); }
    Instant now() const override { return loop_.now(); }
    ScheduledWork scheduleAt(Instant deadline, Job job) override {
        return loop_.scheduleAt(deadline, std::move(job));
    }

    const std::string& label() const { return label_; }
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    std::string label_;
    RunLoop loop_;
    std::thread thread_;
};

} // namespace System::Concurrency
