#include "System/Concurrency/Duration.h"
#include "System/Concurrency/Instant.h"

#include <gtest/gtest.h>

using System::Concurrency::Duration;
using System::Concurrency::Instant;

TEST(DurationTests, MillisecondsRoundHalvesAwayFromZero) {
    struct Case {
        Duration duration;
        std::int64_t expected;
    };
    const Case cases[] = {
        {Duration::microseconds(1500), 2},
        {Duration::microseconds(2500), 3},
        {Duration::milliseconds(100), 100},
        {Duration::microseconds(-1500), -2},
        {Duration::microseconds(1499), 1},
        {Duration::seconds(std::int64_t{300}), 300000},
        {Duration::zero(), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.duration.milliseconds(), c.expected) << c.duration.timeInterval();
    }
}

TEST(DurationTests, StoredFormSplitsTheAttosecondCountIntoHighAndLow) {
    const auto fiveMinutes = Duration::seconds(std::int64_t{300});
    EXPECT_EQ(fiveMinutes.high(), 16);
    EXPECT_EQ(fiveMinutes.low(), 4852094820647174144u);
    EXPECT_EQ(Duration::fromHighLow(16, 4852094820647174144u), fiveMinutes);
    EXPECT_EQ(Duration::milliseconds(100).low(), 100000000000000000u);
    const auto negative = Duration::milliseconds(-1);
    EXPECT_EQ(Duration::fromHighLow(negative.high(), negative.low()), negative);
    EXPECT_EQ(negative.high(), -1);
}

TEST(DurationTests, ComponentsCarryTheSignOfTheSpan) {
    const auto [secs, attos] = Duration::milliseconds(-1500).components();
    EXPECT_EQ(secs, -1);
    EXPECT_EQ(attos, -500'000'000'000'000'000);
    EXPECT_DOUBLE_EQ(Duration::milliseconds(-1500).timeInterval(), -1.5);
}

TEST(DurationTests, SecondsFromDoubleAndSaturatedNanoseconds) {
    EXPECT_EQ(Duration::seconds(0.5), Duration::milliseconds(500));
    EXPECT_EQ(Duration::seconds(2.0), Duration::seconds(std::int64_t{2}));
    EXPECT_EQ(Duration::seconds(1e30).nanosecondsSaturated(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(Duration::seconds(-1e30).nanosecondsSaturated(), std::numeric_limits<std::int64_t>::min());
}

TEST(DurationTests, InstantsDifferExactly) {
    const auto a = Instant::sinceOrigin(Duration::seconds(std::int64_t{10}));
    const auto b = a + Duration::attoseconds(1);
    EXPECT_EQ(b - a, Duration::attoseconds(1));
    EXPECT_LT(a, b);
    const Instant first = Instant::now();
    EXPECT_LE(first, Instant::now());
}

TEST(DurationTests, SumsAndDifferencesSaturateInsteadOfWrapping) {
    const auto huge = Duration::fromHighLow(std::numeric_limits<std::int64_t>::max(), ~std::uint64_t{0});
    const auto tiny = Duration::fromHighLow(std::numeric_limits<std::int64_t>::min(), 0);
    EXPECT_EQ(huge + Duration::seconds(std::int64_t{1}), huge);
    EXPECT_EQ(tiny - Duration::seconds(std::int64_t{1}), tiny);
    EXPECT_EQ(tiny + Duration::seconds(std::int64_t{1}) - Duration::seconds(std::int64_t{1}), tiny);
    EXPECT_EQ(-tiny, huge);
    const auto now = Instant::sinceOrigin(Duration::seconds(std::int64_t{1000}));
    EXPECT_GT(now + huge, now);
    EXPECT_LT(now + tiny, now);
}
