#pragma once

#include <functional>

namespace System::Concurrency {

// Runs `job` on a thread of the process's shared set of worker threads, for blocking work (a model's
// prediction, a file load) that must not hold up an executor. Safe from any thread.
//
// A job starts at once: on an idle worker, or on a new one when every worker is busy, so a long job never
// delays another and a job may wait for another without a deadlock. A worker idle for a few seconds ends.
// Reusing the threads matters to callers that post one short job after another (a decoder's token loop):
// starting a thread for each job costs more than the hand-off to a waiting one.
//
// `job` must not throw.
void runOnWorkerThread(std::function<void()> job);

} // namespace System::Concurrency
