#include "System/Concurrency/Cancellation.h"

namespace System::Concurrency {

void CancellationState::cancel() {
    std::map<CallbackId, std::function<void()>> toRun;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_.exchange(true)) {
            return;
        }
        toRun.swap(callbacks_);
    }
    for (auto& [id, callback] : toRun) {
        callback();
    }
}

CancellationState::CallbackId CancellationState::onCancel(std::function<void()> callback) {
    {
        std::lock_guard lock(mutex_);
        if (!cancelled_.load()) {
            const CallbackId id = nextId_++;
            callbacks_.emplace(id, std::move(callback));
            return id;
        }
    }
    callback();
    return 0;
}

void CancellationState::removeCallback(CallbackId id) {
    std::lock_guard lock(mutex_);
    callbacks_.erase(id);
}

} // namespace System::Concurrency
