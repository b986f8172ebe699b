#pragma once

#include "System/Concurrency/RunLoop.h"
#include "System/Concurrency/Task.h"

namespace System::Concurrency {

// Runs `task` to its end on a fresh RunLoop on the calling thread and returns its value or rethrows its
// error. For programs without an event loop of their own and for integration tests; never call it from a
// task.
template <class T>
T blockingRun(Task<T> task) {
    RunLoop loop;
    auto handle = spawn(loop, std::move(task));
    loop.runUntil([&] { return handle.isDone(); });
    return handle.result();
}

} // namespace System::Concurrency
