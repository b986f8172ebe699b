#include "VuzadoDudi/ConcurrencyUtilities.h"
#include "VuzadoDudi/VuzadoDudiError.h"

#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace VuzadoDudi;

TEST(ConcurrencyUtilitiesTest, ErrorDescribesItselfWithItsMessage) {
    EXPECT_EQ(VuzadoDudiError::invalidConfiguration("x").errorDescription(), "x");
    EXPECT_STREQ(VuzadoDudiError::invalidConfiguration("bad model").what(), "bad model");
}

TEST(ConcurrencyUtilitiesTest, ActiveProcessorCountIsPositive) {
    EXPECT_GE(ConcurrencyUtilities::activeProcessorCount(), 1);
}

TEST(ConcurrencyUtilitiesTest, WithLockPassesOnAThrowAndReleasesTheLock) {
    UnfairLock lock;
    EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("body"); }), std::runtime_error);
    EXPECT_EQ(lock.withLock([] { return 7; }), 7);
}

// Every modification of a wrapped counter from several threads at once must land.
template <class Wrapper>
void expectNoLostUpdates(Wrapper& wrapper) {
    constexpr int threads = 4;
    constexpr int perThread = 5000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < perThread; ++i) {
                wrapper.modify([](std::vector<int>& values) { values.push_back(static_cast<int>(values.size())); });
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    const std::vector<int> values = wrapper.get();
    ASSERT_EQ(values.size(), static_cast<std::size_t>(threads * perThread));
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(values[i], static_cast<int>(i));
    }
}

TEST(ConcurrencyUtilitiesTest, PropertyLockLosesNoUpdateUnderContention) {
    PropertyLock<std::vector<int>> wrapper;
    expectNoLostUpdates(wrapper);
}

TEST(ConcurrencyUtilitiesTest, ProtectedLosesNoUpdateUnderContention) {
    Protected<std::vector<int>> wrapper;
    expectNoLostUpdates(wrapper);
}

TEST(ConcurrencyUtilitiesTest, PropertyLockCodesAsItsValue) {
    const PropertyLock<std::vector<int>> numbers(std::vector<int>{1, 2, 3});
    EXPECT_EQ(numbers.encode().dump(), "[1,2,3]");
    EXPECT_EQ(PropertyLock<std::string>::decode(nlohmann::json("bare")).get(), "bare");
    EXPECT_EQ(PropertyLock<int>(5).encode().dump(), "5");
    EXPECT_THROW(PropertyLock<int>::decode(nlohmann::json("five")), nlohmann::json::exception);
}

TEST(ConcurrencyUtilitiesTest, ProtectedOptionalStartsEmptyAndCopiesShareTheValue) {
    Protected<std::optional<int>> model;
    EXPECT_EQ(model.get(), std::nullopt);
    Protected<std::optional<int>> copy = model;
    copy.set(3);
    EXPECT_EQ(model.get(), 3);
}

TEST(ConcurrencyUtilitiesTest, WeakSendableWrapperDoesNotKeepItsObject) {
    auto object = std::make_shared<int>(1);
    WeakSendableWrapper<int> wrapper(object);
    EXPECT_EQ(wrapper.value(), object);
    object.reset();
    EXPECT_EQ(wrapper.value(), nullptr);
    auto other = std::make_shared<int>(2);
    wrapper.setValue(other);
    EXPECT_EQ(wrapper.value(), other);
}

TEST(ConcurrencyUtilitiesTest, EarlyStopActorKeepsOneFlagPerTask) {
    EarlyStopActor actor;
    const UUID first = UUID::random();
    const UUID second = UUID::random();
    EXPECT_NE(first, second);
    EXPECT_FALSE(actor.get(first));
    EXPECT_EQ(actor.remove(first), std::nullopt);
    actor.set(true, first);
    actor.set(false, first);
    actor.set(true, second);
    EXPECT_FALSE(actor.get(first));
    EXPECT_EQ(actor.remove(second), true);
    EXPECT_FALSE(actor.get(second));
    EXPECT_EQ(actor.remove(first), false);
}

TEST(ConcurrencyUtilitiesTest, UUIDTextIsCanonical) {
    const std::string text = UUID::random().uuidString();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[8], '-');
    EXPECT_EQ(text[14], '4');
}

} // namespace
