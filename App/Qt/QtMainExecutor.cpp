#include "App/Qt/QtMainExecutor.h"

#include <QObject>
#include <QThread>

#include <atomic>

namespace Parlindo {

using System::Concurrency::Instant;
using System::Concurrency::ScheduledWork;

QtMainExecutor::QtMainExecutor()
    : receiver_(std::make_unique<QObject>()) {}

QtMainExecutor::~QtMainExecutor() = default;

void QtMainExecutor::post(Job job) {
    // A queued call is an event posted to the receiver's thread: safe from any thread, never run inside
    // `post`, and run in the order posted.
    QMetaObject::invokeMethod(receiver_.get(), std::move(job), Qt::QueuedConnection);
}

Instant QtMainExecutor::now() const {
    return Instant::now();
}

ScheduledWork QtMainExecutor::scheduleAt(Instant deadline, Job job) {
    // The flag is checked again on the main thread: a job cancelled after the timer thread handed it over
    // still never runs.
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    const ScheduledWork work(cancelled);
    timers_.scheduleAt(deadline, [this, work, job = std::move(job)]() mutable {
        if (work.isCancelled()) {
            return;
        }
        post([work, job = std::move(job)] {
            if (!work.isCancelled()) {
                job();
            }
        });
    });
    return work;
}

bool QtMainExecutor::isCurrent() const {
    return QThread::currentThread() == receiver_->thread();
}

} // namespace Parlindo
