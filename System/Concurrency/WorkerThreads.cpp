#include "System/Concurrency/WorkerThreads.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace System::Concurrency {

namespace {

constexpr auto kIdleLifetime = std::chrono::seconds(10);

class WorkerThreads {
public:
    void post(std::function<void()> job) {
        std::lock_guard guard(lock_);
        jobs_.push_back(std::move(job));
        // Idle workers each take one queued job; a job beyond them needs a thread of its own.
        if (idle_ >= jobs_.size()) {
            wake_.notify_one();
        } else {
            std::thread([this] { work(); }).detach();
        }
    }

private:
    void work() {
        pthread_setname_np(pthread_self(), "worker");
        std::unique_lock guard(lock_);
        for (;;) {
            ++idle_;
            const bool hasJob = wake_.wait_for(guard, kIdleLifetime, [this] { return !jobs_.empty(); });
            --idle_;
            if (!hasJob) {
                return;
            }
            auto job = std::move(jobs_.front());
            jobs_.pop_front();
            guard.unlock();
            job();
            // The job's captures go before the lock is taken again: their destructors may post.
            job = nullptr;
            guard.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::size_t idle_ = 0;
};

} // namespace

void runOnWorkerThread(std::function<void()> job) {
    // Never destroyed: detached workers may still wait on it while the process exits.
    static auto* const workers = new WorkerThreads;
    workers->post(std::move(job));
}

} // namespace System::Concurrency
