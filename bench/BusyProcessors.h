#pragma once

// Processors kept busy by threads that spin while a benchmark measures, the way another program's busy loop
// takes them: a decoder's figures on a machine that is not idle, made in the same run as its idle ones.
#include <atomic>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>

class BusyProcessors {
public:
    // Spins on `count` of the processors this process may use, the last ones of its affinity mask, one thread
    // pinned to each: the same processors from run to run, and a spinner the system cannot move aside.
    explicit BusyProcessors(int count) {
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        sched_getaffinity(0, sizeof allowed, &allowed);
        for (int cpu = CPU_SETSIZE - 1; cpu >= 0 && int(spinners_.size()) < count; --cpu) {
            if (!CPU_ISSET(cpu, &allowed)) {
                continue;
            }
            spinners_.emplace_back([this] {
                while (!stop_.load(std::memory_order_relaxed)) {
                }
            });
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            pthread_setaffinity_np(spinners_.back().native_handle(), sizeof one, &one);
        }
    }
    ~BusyProcessors() {
        stop_.store(true, std::memory_order_relaxed);
        for (auto& spinner : spinners_) {
            spinner.join();
        }
    }
    BusyProcessors(const BusyProcessors&) = delete;
    BusyProcessors& operator=(const BusyProcessors&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> spinners_;
};
