#include "System/Concurrency/Observed.h"

#include <gtest/gtest.h>

#include <vector>

using System::Concurrency::Observed;

TEST(ObservedTests, NotifiesOnlyOnChangedValuesButAlwaysOnInPlaceEdits) {
    Observed<std::vector<int>> value({1});
    int notifications = 0;
    auto subscription = value.observe([&](const std::vector<int>&) { ++notifications; });
    value.set({1});
    EXPECT_EQ(notifications, 0);
    value.set({1, 2});
    EXPECT_EQ(notifications, 1);
    value.modify([](std::vector<int>&) {});
    EXPECT_EQ(notifications, 2);
    value.modify([](std::vector<int>& v) { v.push_back(3); });
    EXPECT_EQ(notifications, 3);
    EXPECT_EQ(value.get(), (std::vector<int>{1, 2, 3}));
}

TEST(ObservedTests, EndedSubscriptionsAreNotNotifiedEvenDuringANotification) {
    Observed<int> value(0);
    std::vector<int> seen;
    Observed<int>::Subscription second;
    auto first = value.observe([&](const int& v) {
        seen.push_back(v);
        second.cancel();
    });
    second = value.observe([&](const int&) { ADD_FAILURE() << "cancelled observer notified"; });
    value.set(1);
    {
        auto scoped = value.observe([&](const int& v) { seen.push_back(v * 10); });
        value.set(2);
    }
    value.set(3);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 20, 3}));
}
