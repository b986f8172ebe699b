#include "System/Concurrency/WorkerThreads.h"

#include <gtest/gtest.h>

#include <future>
#include <latch>
#include <memory>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace System::Concurrency;

// Every job of a batch waits until all of them have started: a pool that queued one of them behind another
// would never finish.
TEST(WorkerThreadsTests, JobsPostedFromManyThreadsAllRunAtOnce) {
    constexpr int posters = 4;
    constexpr int jobsEach = 6;
    std::latch started(posters * jobsEach);
    std::latch finished(posters * jobsEach);
    std::vector<std::thread> threads;
    for (int poster = 0; poster < posters; ++poster) {
        threads.emplace_back([&] {
            for (int job = 0; job < jobsEach; ++job) {
                runOnWorkerThread([&] {
                    started.arrive_and_wait();
                    finished.count_down();
                });
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    finished.wait();
}

TEST(WorkerThreadsTests, JobsPostedOneAfterAnotherReuseTheirThreads) {
    constexpr int jobs = 40;
    std::set<pid_t> threads;
    for (int job = 0; job < jobs; ++job) {
        // Shared: the worker may still be inside set_value when the poster moves on.
        auto ranOn = std::make_shared<std::promise<pid_t>>();
        auto future = ranOn->get_future();
        runOnWorkerThread([ranOn] { ranOn->set_value(::gettid()); });
        const pid_t thread = future.get();
        EXPECT_NE(thread, ::gettid());
        threads.insert(thread);
    }
    // A worker becomes idle right after its job; only a poster that overtakes it gets a new thread.
    EXPECT_LT(threads.size(), std::size_t(jobs / 2));
}
