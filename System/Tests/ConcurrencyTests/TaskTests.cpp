#include "System/Concurrency/BlockingRun.h"
#include "System/Concurrency/ManualExecutor.h"
#include "System/Concurrency/SerialQueue.h"
#include "System/Concurrency/Task.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

using namespace System::Concurrency;

namespace {

Task<int> answer() {
    co_return 42;
}

Task<int> doubled(Task<int> inner) {
    co_return 2 * co_await std::move(inner);
}

Task<int> failing() {
    throw std::runtime_error("boom");
    co_return 0;
}

Task<std::string> recovering() {
    try {
        co_await failing();
    } catch (const std::runtime_error& error) {
        co_return std::string("caught ") + error.what();
    }
    co_return "not reached";
}

} // namespace

TEST(TaskTests, SpawnRunsOnTheExecutorAndJoinGivesTheValue) {
    ManualExecutor executor;
    auto handle = spawn(executor, doubled(answer()));
    EXPECT_FALSE(handle.isDone()); // nothing runs inline
    executor.runUntilIdle();
    ASSERT_TRUE(handle.isDone());
    EXPECT_EQ(handle.result(), 84);

    int joined = 0;
    auto joiner = spawn(executor, [](TaskHandle<int> h, int& out) -> Task<void> {
        out = co_await h.value();
    }(handle, joined));
    executor.runUntilIdle();
    EXPECT_TRUE(joiner.isDone());
    EXPECT_EQ(joined, 84);
}

TEST(TaskTests, ErrorsPropagateThroughAwaitsAndJoins) {
    ManualExecutor executor;
    auto recovered = spawn(executor, recovering());
    auto failed = spawn(executor, failing());
    executor.runUntilIdle();
    EXPECT_EQ(recovered.result(), "caught boom");
    EXPECT_THROW(failed.result(), std::runtime_error);
}

TEST(TaskTests, JoinWaitsForATaskThatFinishesLater) {
    ManualExecutor executor;
    auto sleeper = spawn(executor, []() -> Task<int> {
        co_await sleep(Duration::seconds(std::int64_t{10}));
        co_return 7;
    }());
    auto joiner =
        spawn(executor, [](TaskHandle<int> h) -> Task<int> { co_return co_await h.value() + 1; }(sleeper));
    executor.runUntilIdle();
    EXPECT_FALSE(joiner.isDone());
    executor.advance(Duration::seconds(std::int64_t{10}));
    ASSERT_TRUE(joiner.isDone());
    EXPECT_EQ(joiner.result(), 8);
}

TEST(TaskTests, HoursOfVirtualTimePassWithoutWaiting) {
    ManualExecutor executor;
    const Instant start = executor.now();
    int ticks = 0;
    auto ticker = spawn(executor, [](int& count) -> Task<void> {
        for (int i = 0; i < 12 * 60; ++i) { // one tick every five seconds for an hour
            co_await sleep(Duration::seconds(std::int64_t{5}));
            ++count;
        }
    }(ticks));
    executor.advance(Duration::seconds(std::int64_t{3 * 3600}));
    EXPECT_TRUE(ticker.isDone());
    EXPECT_EQ(ticks, 720);
    EXPECT_EQ(executor.now() - start, Duration::seconds(std::int64_t{3 * 3600}));
}

TEST(TaskTests, CancellationEndsASleepAtOnce) {
    ManualExecutor executor;
    auto sleeper =
        spawn(executor, []() -> Task<void> { co_await sleep(Duration::seconds(std::int64_t{3600})); }());
    executor.runUntilIdle();
    ASSERT_FALSE(sleeper.isDone());
    sleeper.cancel();
    executor.runUntilIdle(); // no time passes
    ASSERT_TRUE(sleeper.isDone());
    EXPECT_THROW(sleeper.result(), CancellationError);
}

TEST(TaskTests, CancelledBeforeStartingSleepThrowsWithoutWaiting) {
    ManualExecutor executor;
    auto task = spawn(executor, []() -> Task<bool> {
        const bool before = co_await isCancelled();
        co_await sleep(Duration::seconds(std::int64_t{1}));
        co_return before;
    }());
    task.cancel();
    executor.runUntilIdle();
    ASSERT_TRUE(task.isDone());
    EXPECT_THROW(task.result(), CancellationError);
}

TEST(TaskTests, AwaitedTasksShareCancellationButSpawnedTasksDoNot) {
    ManualExecutor executor;
    TaskHandle<void> detached;
    auto outer = spawn(executor, [](ManualExecutor& ex, TaskHandle<void>& spawned) -> Task<void> {
        spawned = spawn(ex, []() -> Task<void> { co_await sleep(Duration::seconds(std::int64_t{10})); }());
        // The awaited child runs as part of this task, so cancelling this task ends the child's sleep.
        co_await []() -> Task<void> { co_await sleep(Duration::seconds(std::int64_t{3600})); }();
    }(executor, detached));
    executor.runUntilIdle();
    outer.cancel();
    executor.runUntilIdle();
    ASSERT_TRUE(outer.isDone());
    EXPECT_THROW(outer.result(), CancellationError);
    EXPECT_FALSE(detached.isDone());
    executor.advance(Duration::seconds(std::int64_t{10}));
    ASSERT_TRUE(detached.isDone());
    EXPECT_NO_THROW(detached.result());
}

TEST(TaskTests, ContinuationFromAForeignThreadResumesOnTheTasksOwnExecutor) {
    const auto owner = std::this_thread::get_id();
    const auto result = blockingRun([]() -> Task<std::pair<int, std::thread::id>> {
        std::thread worker;
        const int value = co_await withContinuation<int>([&worker](Continuation<int> continuation) {
            worker = std::thread([continuation] { continuation.resume(5); });
        });
        const auto resumedOn = std::this_thread::get_id();
        worker.join();
        co_return std::pair{value, resumedOn};
    }());
    EXPECT_EQ(result.first, 5);
    EXPECT_EQ(result.second, owner);
}

TEST(TaskTests, RunOnDoesTheWorkOnTheQueueAndComesBack) {
    SerialQueue queue("com.tessarin.work");
    const auto owner = std::this_thread::get_id();
    const auto [workedOn, resumedOn] =
        blockingRun([](SerialQueue& q) -> Task<std::pair<std::thread::id, std::thread::id>> {
            const auto worker = co_await runOn(q, [] { return std::this_thread::get_id(); });
            co_return std::pair{worker, std::this_thread::get_id()};
        }(queue));
    EXPECT_NE(workedOn, owner);
    EXPECT_EQ(resumedOn, owner);
    EXPECT_THROW(blockingRun([](SerialQueue& q) -> Task<void> {
                     co_await runOn(q, [] { throw std::runtime_error("on the queue"); });
                 }(queue)),
                 std::runtime_error);
}

TEST(TaskTests, MoveOnlyResultsCanBeTakenAndRunToCompletionReportsAStuckTask) {
    ManualExecutor executor;
    auto pointer = executor.runToCompletion(
        []() -> Task<std::unique_ptr<int>> { co_return std::make_unique<int>(3); }());
    ASSERT_TRUE(pointer);
    EXPECT_EQ(*pointer, 3);
    EXPECT_EQ(
        blockingRun([]() -> Task<std::unique_ptr<int>> { co_return std::make_unique<int>(4); }()).operator*(),
        4);
    EXPECT_THROW(executor.runToCompletion(sleep(Duration::seconds(std::int64_t{1}))), std::logic_error);
}

TEST(TaskTests, EveryJoinerOfATaskGetsItsValue) {
    ManualExecutor executor;
    auto producer = spawn(executor, []() -> Task<std::string> {
        co_await sleep(Duration::seconds(std::int64_t{1}));
        co_return "token";
    }());
    std::vector<TaskHandle<std::string>> joiners;
    for (int i = 0; i < 3; ++i) {
        joiners.push_back(spawn(executor, [](TaskHandle<std::string> h) -> Task<std::string> {
            co_return co_await h.value();
        }(producer)));
    }
    executor.advance(Duration::seconds(std::int64_t{1}));
    for (auto& joiner : joiners) {
        EXPECT_EQ(joiner.result(), "token");
    }
    EXPECT_EQ(producer.result(), "token");
}
