#pragma once

#include "System/Concurrency/Executor.h"
#include "System/Concurrency/SerialQueue.h"

#include <memory>

class QObject;

namespace Parlindo {

// The main actor of the application: an executor whose jobs run on Qt's event loop, on the thread that made
// it (the thread of the QApplication). `post` is safe from any thread and keeps the order of the jobs posted.
// Deadlines are counted on the continuous clock by a small timer thread, which posts each due job into the
// event loop, so a wait keeps counting while the machine sleeps, as `now()` does.
class QtMainExecutor final : public System::Concurrency::Executor {
public:
    // Call on the thread that runs the Qt event loop.
    QtMainExecutor();
    ~QtMainExecutor() override;
    QtMainExecutor(const QtMainExecutor&) = delete;
    QtMainExecutor& operator=(const QtMainExecutor&) = delete;

    void post(Job job) override;
    System::Concurrency::Instant now() const override;
    System::Concurrency::ScheduledWork scheduleAt(System::Concurrency::Instant deadline, Job job) override;

    // True on the thread whose event loop runs the jobs.
    bool isCurrent() const;

private:
    std::unique_ptr<QObject> receiver_;
    System::Concurrency::SerialQueue timers_{"Main actor timers"};
};

} // namespace Parlindo
