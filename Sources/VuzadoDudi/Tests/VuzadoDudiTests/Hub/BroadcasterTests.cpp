#include "System/Concurrency/BlockingRun.h"
#include "VuzadoDudi/External/Hub/Broadcaster.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>

namespace VuzadoDudi {
namespace {

using System::Concurrency::blockingRun;
using System::Concurrency::Task;

using Stream = Broadcaster<int>::Stream;

Task<std::vector<int>> take(Stream& stream, std::size_t count) {
    std::vector<int> values;
    while (values.size() < count) {
        auto value = co_await stream.next();
        if (!value) {
            break;
        }
        values.push_back(*value);
    }
    co_return values;
}

TEST(Broadcaster, AnEarlySubscriberStartsWithTheInitialState) {
    Broadcaster<int> broadcaster([] { return std::optional<int>(-1); });
    auto stream = broadcaster.subscribe();
    broadcaster.broadcast(1);
    EXPECT_EQ(blockingRun(take(stream, 2)), (std::vector<int>{-1, 1}));
}

TEST(Broadcaster, WithoutAnInitialStateNothingComesFirst) {
    Broadcaster<int> broadcaster([] { return std::optional<int>(); });
    auto stream = broadcaster.subscribe();
    broadcaster.broadcast(5);
    EXPECT_EQ(blockingRun(take(stream, 1)), std::vector<int>{5});
}

TEST(Broadcaster, ALateSubscriberStartsWithTheLatestStateOnly) {
    Broadcaster<int> broadcaster([] { return std::optional<int>(-1); });
    broadcaster.broadcast(1);
    broadcaster.broadcast(2);
    auto stream = broadcaster.subscribe();
    broadcaster.broadcast(3);
    EXPECT_EQ(blockingRun(take(stream, 2)), (std::vector<int>{2, 3}));
    EXPECT_EQ(broadcaster.latestState(), 3);
}

TEST(Broadcaster, EverySubscriberGetsEveryStateInOrderFromManyThreads) {
    Broadcaster<int> broadcaster([] { return std::optional<int>(0); });
    auto first = broadcaster.subscribe();
    auto second = broadcaster.subscribe();
    std::thread publisher([&] {
        for (int i = 1; i <= 1000; ++i) {
            broadcaster.broadcast(i);
        }
    });
    const auto a = blockingRun(take(first, 1001));
    const auto b = blockingRun(take(second, 1001));
    publisher.join();
    std::vector<int> expected(1001);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(a, expected);
    EXPECT_EQ(b, expected);
}

TEST(Broadcaster, ASubscriberThatStopsReadingIsForgotten) {
    Broadcaster<int> broadcaster([] { return std::optional<int>(0); });
    auto kept = broadcaster.subscribe();
    {
        auto dropped = broadcaster.subscribe();
        EXPECT_EQ(broadcaster.subscriberCount(), 2u);
    }
    EXPECT_EQ(broadcaster.subscriberCount(), 1u);
    broadcaster.broadcast(7);
    EXPECT_EQ(blockingRun(take(kept, 2)), (std::vector<int>{0, 7}));
}

TEST(Broadcaster, ADestroyedBroadcasterEndsItsStreams) {
    auto broadcaster = std::make_unique<Broadcaster<int>>([] { return std::optional<int>(0); });
    auto stream = broadcaster->subscribe();
    broadcaster.reset();
    EXPECT_EQ(blockingRun(take(stream, 5)), std::vector<int>{0});
}

} // namespace
} // namespace VuzadoDudi
