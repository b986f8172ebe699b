#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ZodozorEro {

// Limits how many pieces handed out by the incremental loader may wait for their consumer: the producer
// asks for a slot before each piece and blocks while the limit is reached; each consumed piece frees one.
// Safe from any thread.
class IncrementalLoadController {
public:
    explicit IncrementalLoadController(std::int64_t maxBufferedChunks);

    // Blocks until a piece may be handed out and counts it as outstanding. Returns false, counting nothing,
    // once the controller has been ended.
    bool requestChunkSlot();
    // One outstanding piece was taken; nothing when none is outstanding.
    void signalChunkConsumed();
    // Ends the controller for good and wakes every waiting producer.
    void resumeWaitingProducers();

    std::int64_t maxBufferedChunks() const { return maxBufferedChunks_; }
    std::int64_t activeChunks() const;
    std::int64_t waitingProducers() const;
    bool isTerminated() const;
    // Blocks until a producer waits for a slot while every slot is taken, or the controller has ended: lets
    // an observer see the producer held back.
    void waitUntilProducerWaits() const;

private:
    const std::int64_t maxBufferedChunks_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::int64_t activeChunks_ = 0;
    std::int64_t waitingProducers_ = 0;
    bool isTerminated_ = false;
};

} // namespace ZodozorEro
