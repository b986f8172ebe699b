#include "System/Concurrency/AsyncStream.h"
#include "System/Concurrency/BlockingRun.h"
#include "System/Concurrency/ManualExecutor.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace System::Concurrency;

namespace {

Task<std::vector<int>> collect(AsyncStream<int> stream) {
    std::vector<int> values;
    while (auto value = co_await stream.next()) {
        values.push_back(*value);
    }
    co_return values;
}

} // namespace

TEST(AsyncStreamTests, DeliversInOrderThenEndsAfterFinishDrainsTheBuffer) {
    ManualExecutor executor;
    auto [stream, continuation] = AsyncStream<int>::makeStream();
    auto consumer = spawn(executor, collect(std::move(stream)));
    continuation.yield(1);
    executor.runUntilIdle();
    continuation.yield(2);
    continuation.yield(3);
    continuation.finish();
    EXPECT_EQ(continuation.yield(4), YieldResult::terminated); // a yield after finish is dropped
    executor.runUntilIdle();
    ASSERT_TRUE(consumer.isDone());
    EXPECT_EQ(consumer.result(), (std::vector<int>{1, 2, 3}));
}

TEST(AsyncStreamTests, BufferingNewestKeepsOnlyTheNewestElements) {
    ManualExecutor executor;
    auto [stream, continuation] = AsyncStream<int>::makeStream(BufferingPolicy::bufferingNewest(3));
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(continuation.yield(i), i <= 3 ? YieldResult::enqueued : YieldResult::dropped);
    }
    continuation.finish();
    auto consumer = spawn(executor, collect(std::move(stream)));
    executor.runUntilIdle();
    EXPECT_EQ(consumer.result(), (std::vector<int>{3, 4, 5}));
}

TEST(AsyncStreamTests, OnTerminationRunsOnceOutsideTheLock) {
    auto [stream, continuation] = AsyncStream<int>::makeStream();
    std::vector<StreamTermination> seen;
    continuation.onTermination([&, c = continuation](StreamTermination reason) {
        seen.push_back(reason);
        c.yield(9); // would deadlock if the handler ran under the stream's lock
        c.finish();
    });
    continuation.finish();
    continuation.finish();
    EXPECT_EQ(seen, (std::vector<StreamTermination>{StreamTermination::finished}));
    // A handler set after termination runs at once.
    continuation.onTermination([&](StreamTermination reason) { seen.push_back(reason); });
    EXPECT_EQ(seen.size(), 2u);
}

TEST(AsyncStreamTests, CancellingTheConsumerEndsTheIterationAtOnce) {
    ManualExecutor executor;
    auto [stream, continuation] = AsyncStream<int>::makeStream();
    std::optional<StreamTermination> termination;
    continuation.onTermination([&](StreamTermination reason) { termination = reason; });
    auto consumer = spawn(executor, collect(std::move(stream)));
    continuation.yield(1);
    executor.runUntilIdle();
    consumer.cancel();
    executor.runUntilIdle();
    ASSERT_TRUE(consumer.isDone());
    EXPECT_EQ(consumer.result(), (std::vector<int>{1}));
    EXPECT_EQ(termination, StreamTermination::cancelled);
    EXPECT_EQ(continuation.yield(2), YieldResult::terminated);
}

TEST(AsyncStreamTests, DroppingTheStreamCancelsItAndDroppingAllProducersFinishesIt) {
    {
        auto [stream, continuation] = AsyncStream<int>::makeStream();
        std::optional<StreamTermination> termination;
        continuation.onTermination([&](StreamTermination reason) { termination = reason; });
        { auto gone = std::move(stream); }
        EXPECT_EQ(termination, StreamTermination::cancelled);
    }
    ManualExecutor executor;
    auto [stream, continuation] = AsyncStream<int>::makeStream();
    auto consumer = spawn(executor, collect(std::move(stream)));
    continuation.yield(1);
    continuation = {};
    executor.runUntilIdle();
    ASSERT_TRUE(consumer.isDone());
    EXPECT_EQ(consumer.result(), (std::vector<int>{1}));
}

TEST(AsyncStreamTests, AYieldFromAForeignThreadResumesTheConsumerOnItsOwnExecutor) {
    const auto owner = std::this_thread::get_id();
    auto [stream, continuation] = AsyncStream<int>::makeStream();
    std::thread producer([c = continuation] {
        for (int i = 0; i < 1000; ++i) {
            c.yield(i);
        }
        c.finish();
    });
    continuation = {};
    const auto [count, allOnOwner] =
        blockingRun([](AsyncStream<int> s, std::thread::id ownerId) -> Task<std::pair<int, bool>> {
            int expected = 0;
            bool onOwner = true;
            while (auto value = co_await s.next()) {
                EXPECT_EQ(*value, expected);
                ++expected;
                onOwner = onOwner && std::this_thread::get_id() == ownerId;
            }
            co_return std::pair{expected, onOwner};
        }(std::move(stream), owner));
    producer.join();
    EXPECT_EQ(count, 1000);
    EXPECT_TRUE(allOnOwner);
}
