#include "System/Concurrency/RunLoop.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace System::Concurrency {

namespace {
int checked(int result, const char* what) {
    if (result < 0) {
        throw std::runtime_error(std::string(what) + " failed: " + std::strerror(errno));
    }
    return result;
}
} // namespace

RunLoop::RunLoop() {
    epollFd_ = checked(epoll_create1(EPOLL_CLOEXEC), "epoll_create1");
    wakeFd_ = checked(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd");
    timerFd_ = checked(timerfd_create(CLOCK_BOOTTIME, TFD_CLOEXEC | TFD_NONBLOCK), "timerfd_create");
    for (int fd : {wakeFd_, timerFd_}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        checked(epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event), "epoll_ctl");
    }
}

RunLoop::~RunLoop() {
    close(timerFd_);
    close(wakeFd_);
    close(epollFd_);
}

void RunLoop::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake();
}

Instant RunLoop::now() const {
    return Instant::now();
}

ScheduledWork RunLoop::scheduleAt(Instant deadline, Job job) {
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(mutex_);
        timers_.emplace(std::pair{deadline, nextSequence_++}, Timer{std::move(job), cancelled});
        armTimerLocked();
    }
    return ScheduledWork(cancelled);
}

void RunLoop::wake() {
    const std::uint64_t one = 1;
    // A full counter still wakes the loop, so a failed write loses nothing.
    [[maybe_unused]] auto written = write(wakeFd_, &one, sizeof one);
}

void RunLoop::armTimerLocked() {
    itimerspec deadline{};
    if (!timers_.empty()) {
        const std::int64_t nanos = timers_.begin()->first.first.sinceOrigin().nanosecondsSaturated();
        // An all-zero value would disarm the timer; a deadline in the past fires at once.
        deadline.it_value.tv_sec = nanos > 0 ? nanos / 1'000'000'000 : 0;
        deadline.it_value.tv_nsec = nanos > 0 ? nanos % 1'000'000'000 : 1;
        if (deadline.it_value.tv_sec == 0 && deadline.it_value.tv_nsec == 0) {
            deadline.it_value.tv_nsec = 1;
        }
    }
    timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &deadline, nullptr);
}

void RunLoop::stop() {
    stopped_.store(true);
    wake();
}

void RunLoop::run() {
    loop(nullptr);
}

void RunLoop::runUntil(const std::function<bool()>& done) {
    loop(&done);
}

void RunLoop::loop(const std::function<bool()>* done) {
    // A stop requested before the loop started still ends it; the loop consumes the request on its way out.
    auto finished = [&] { return stopped_.load() || (done && (*done)()); };
    while (!finished()) {
        Job job;
        {
            std::lock_guard lock(mutex_);
            const Instant current = now();
            while (!timers_.empty() && timers_.begin()->first.first <= current) {
                auto node = timers_.extract(timers_.begin());
                if (!node.mapped().cancelled->load()) {
                    auto cancelled = node.mapped().cancelled;
                    jobs_.push_back([inner = std::move(node.mapped().job), cancelled] {
                        if (!cancelled->load()) {
                            inner();
                        }
                    });
                }
            }
            armTimerLocked();
            if (!jobs_.empty()) {
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
        }
        if (job) {
            job();
            continue;
        }
        epoll_event events[2];
        const int count = epoll_wait(epollFd_, events, 2, -1);
        for (int i = 0; i < count; ++i) {
            std::uint64_t value = 0;
            [[maybe_unused]] auto readBytes = read(events[i].data.fd, &value, sizeof value);
        }
    }
    stopped_.store(false);
}

} // namespace System::Concurrency
