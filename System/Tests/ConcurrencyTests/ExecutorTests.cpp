#include "System/Concurrency/ManualExecutor.h"
#include "System/Concurrency/RunLoop.h"
#include "System/Concurrency/SerialQueue.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

using namespace System::Concurrency;

TEST(ManualExecutorTests, RunsPostedJobsInOrderAndNeverInline) {
    ManualExecutor executor;
    std::vector<int> order;
    executor.post([&] {
        order.push_back(1);
        executor.post([&] { order.push_back(3); });
    });
    executor.post([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(executor.runUntilIdle(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(ManualExecutorTests, AdvanceFiresTimersAtTheirDeadlinesInOrder) {
    ManualExecutor executor;
    const Instant start = executor.now();
    std::vector<std::pair<int, Duration>> fired;
    executor.scheduleAfter(Duration::seconds(std::int64_t{2}),
                           [&] { fired.emplace_back(2, executor.now() - start); });
    executor.scheduleAfter(Duration::seconds(std::int64_t{1}), [&] {
        fired.emplace_back(1, executor.now() - start);
        // Work caused by a timer runs before the clock moves past it.
        executor.scheduleAfter(Duration::milliseconds(500),
                               [&] { fired.emplace_back(15, executor.now() - start); });
    });
    auto cancelled = executor.scheduleAfter(Duration::seconds(std::int64_t{1}),
                                            [&] { fired.emplace_back(-1, Duration::zero()); });
    cancelled.cancel();

    executor.advance(Duration::milliseconds(999));
    EXPECT_TRUE(fired.empty());
    executor.advance(Duration::seconds(std::int64_t{5}));
    const std::vector<std::pair<int, Duration>> expected{
        {1, Duration::seconds(std::int64_t{1})},
        {15, Duration::milliseconds(1500)},
        {2, Duration::seconds(std::int64_t{2})},
    };
    EXPECT_EQ(fired, expected);
    EXPECT_EQ(executor.now() - start, Duration::milliseconds(5999));
}

TEST(RunLoopTests, RunsJobsPostedFromOtherThreadsAndTimersOnTheContinuousClock) {
    RunLoop loop;
    std::vector<int> order;
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i) {
            loop.post([&order, i] { order.push_back(i); });
        }
    });
    producer.join();
    bool timerFired = false;
    const Instant start = loop.now();
    loop.scheduleAfter(Duration::milliseconds(5), [&] {
        timerFired = true;
        EXPECT_GE(loop.now() - start, Duration::milliseconds(5));
    });
    auto cancelled =
        loop.scheduleAfter(Duration::milliseconds(1), [&] { ADD_FAILURE() << "cancelled timer ran"; });
    cancelled.cancel();
    loop.runUntil([&] { return timerFired; });
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[i], i);
    }
}

TEST(RunLoopTests, StopFromAnotherThreadEndsRun) {
    RunLoop loop;
    std::thread stopper([&] { loop.stop(); });
    loop.run(); // returns even when the stop came before run started
    stopper.join();
}

TEST(SerialQueueTests, RunsJobsInOrderOnItsOwnThread) {
    std::promise<std::vector<int>> done;
    std::thread::id worker;
    {
        SerialQueue queue("com.tessarin.test");
        auto order = std::make_shared<std::vector<int>>();
        for (int i = 0; i < 10; ++i) {
            queue.post([order, i] { order->push_back(i); });
        }
        queue.post([&, order] {
            worker = std::this_thread::get_id();
            done.set_value(*order);
        });
        EXPECT_EQ(done.get_future().get(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    }
    EXPECT_NE(worker, std::this_thread::get_id());
}
