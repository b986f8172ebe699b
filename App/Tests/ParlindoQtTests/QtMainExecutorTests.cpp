#include "App/Qt/QtMainExecutor.h"

#include "System/Concurrency/SerialQueue.h"
#include "System/Concurrency/Task.h"

#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

using namespace Parlindo;
using System::Concurrency::Duration;
using System::Concurrency::Task;

namespace {

constexpr int waitMs = 5000;

TEST(QtMainExecutorTest, RunsPostedJobsOnTheEventLoopThreadInOrderAndNeverInline) {
    QtMainExecutor executor;
    std::vector<int> ran;
    executor.post([&] { ran.push_back(1); });
    executor.post([&] {
        ran.push_back(2);
        EXPECT_TRUE(executor.isCurrent());
    });
    EXPECT_TRUE(ran.empty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran.size() == 2; }, waitMs));
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(QtMainExecutorTest, JobsPostedFromOtherThreadsRunOnTheMainThreadInEachThreadsOrder) {
    QtMainExecutor executor;
    constexpr int threads = 4;
    constexpr int perThread = 200;
    std::vector<std::vector<int>> seen(threads);
    bool allOnMain = true;
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                executor.post([&, t, i] {
                    allOnMain = allOnMain && executor.isCurrent();
                    seen[t].push_back(i);
                });
            }
        });
    }
    for (auto& poster : posters) {
        poster.join();
    }
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (const auto& jobs : seen) {
                if (jobs.size() != perThread) {
                    return false;
                }
            }
            return true;
        },
        waitMs));
    EXPECT_TRUE(allOnMain);
    for (const auto& jobs : seen) {
        for (int i = 0; i < perThread; ++i) {
            ASSERT_EQ(jobs[i], i);
        }
    }
}

TEST(QtMainExecutorTest, ScheduledJobsRunOnTheMainThreadAfterTheirDeadlineAndCancelledOnesNever) {
    QtMainExecutor executor;
    std::vector<std::string> ran;
    // Deadlines from one instant: on a busy machine the calls themselves may lie far apart.
    const auto start = executor.now();
    executor.scheduleAt(start + Duration::milliseconds(60), [&] {
        EXPECT_GE(executor.now() - start, Duration::milliseconds(60));
        EXPECT_TRUE(executor.isCurrent());
        ran.push_back("later");
    });
    executor.scheduleAt(start + Duration::milliseconds(20), [&] { ran.push_back("sooner"); });
    auto cancelled =
        executor.scheduleAt(start + Duration::milliseconds(10), [&] { ran.push_back("cancelled"); });
    cancelled.cancel();
    // A deadline already passed runs too, scheduled from another thread as well. Where it lands among the
    // others depends on how busy the machine is; jobs due in deadline order run in that order.
    std::thread([&] { executor.scheduleAt(start, [&] { ran.push_back("past"); }); }).join();
    const auto contains = [&](const std::string& job) { return std::ranges::find(ran, job) != ran.end(); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return contains("past") && contains("later"); }, waitMs));
    // The cancelled job was due before "later", so it would have been handed over before it; a job posted
    // now runs after anything handed over.
    bool flushed = false;
    executor.post([&] { flushed = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return flushed; }, waitMs));
    auto withoutPast = ran;
    std::erase(withoutPast, "past");
    EXPECT_EQ(withoutPast, (std::vector<std::string>{"sooner", "later"})) << testing::PrintToString(ran);
}

Task<int> sleepThenWorkOnAQueue(System::Concurrency::SerialQueue& queue, QtMainExecutor& executor,
                                bool& resumedOnMain) {
    co_await System::Concurrency::sleep(Duration::milliseconds(10));
    const int answer = co_await System::Concurrency::runOn(queue, [&] {
        EXPECT_FALSE(executor.isCurrent());
        return 42;
    });
    resumedOnMain = executor.isCurrent();
    co_return answer;
}

TEST(QtMainExecutorTest, TasksSleepAndResumeOnTheMainThread) {
    QtMainExecutor executor;
    System::Concurrency::SerialQueue queue("test");
    bool resumedOnMain = false;
    auto handle = System::Concurrency::spawn(executor, sleepThenWorkOnAQueue(queue, executor, resumedOnMain));
    ASSERT_TRUE(QTest::qWaitFor([&] { return handle.isDone(); }, waitMs));
    EXPECT_EQ(handle.result(), 42);
    EXPECT_TRUE(resumedOnMain);
}

} // namespace
