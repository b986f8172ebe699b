#pragma once

#include "System/Concurrency/ManualExecutor.h"
#include "System/Concurrency/Task.h"

#include <gtest/gtest.h>

#include <optional>

namespace TestSupport {

namespace detail {
template <class T>
System::Concurrency::Task<void> store(System::Concurrency::Task<T> task, std::optional<T>& result) {
    result.emplace(co_await std::move(task));
}
} // namespace detail

// Runs the task on the executor until nothing is left to do and gives its value.
template <class T>
T run(System::Concurrency::ManualExecutor& executor, System::Concurrency::Task<T> task) {
    std::optional<T> result;
    auto handle = System::Concurrency::spawn(executor, detail::store(std::move(task), result));
    executor.runUntilIdle();
    EXPECT_TRUE(handle.isDone());
    handle.result();
    return std::move(*result);
}

} // namespace TestSupport
