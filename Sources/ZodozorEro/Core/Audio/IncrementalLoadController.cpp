#include "ZodozorEro/Core/Audio/IncrementalLoadController.h"

namespace ZodozorEro {

IncrementalLoadController::IncrementalLoadController(std::int64_t maxBufferedChunks)
    : maxBufferedChunks_(maxBufferedChunks) {}

bool IncrementalLoadController::requestChunkSlot() {
    std::unique_lock lock(mutex_);
    if (!isTerminated_ && activeChunks_ >= maxBufferedChunks_) {
        ++waitingProducers_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return isTerminated_ || activeChunks_ < maxBufferedChunks_; });
        --waitingProducers_;
    }
    if (isTerminated_) {
        return false;
    }
    ++activeChunks_;
    return true;
}

void IncrementalLoadController::signalChunkConsumed() {
    std::lock_guard lock(mutex_);
    if (activeChunks_ > 0) {
        --activeChunks_;
        changed_.notify_all();
    }
}

void IncrementalLoadController::resumeWaitingProducers() {
    std::lock_guard lock(mutex_);
    isTerminated_ = true;
    changed_.notify_all();
}

std::int64_t IncrementalLoadController::activeChunks() const {
    std::lock_guard lock(mutex_);
    return activeChunks_;
}

std::int64_t IncrementalLoadController::waitingProducers() const {
    std::lock_guard lock(mutex_);
    return waitingProducers_;
}

bool IncrementalLoadController::isTerminated() const {
    std::lock_guard lock(mutex_);
    return isTerminated_;
}

void IncrementalLoadController::waitUntilProducerWaits() const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return isTerminated_ || (waitingProducers_ > 0 && activeChunks_ >= maxBufferedChunks_); });
}

} // namespace ZodozorEro
