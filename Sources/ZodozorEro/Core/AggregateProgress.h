#pragma once

#include "ZodozorEro/Core/TranscriptionProgressCounter.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace ZodozorEro {

// The progress of every transcription run a pipeline has going at once: each run adds its own counter as a
// child that stands for some units of the whole. Safe to use from any thread.
class AggregateProgress {
public:
    std::int64_t totalUnitCount() const {
        std::lock_guard guard(mutex_);
        return total_;
    }
    void setTotalUnitCount(std::int64_t count) {
        std::lock_guard guard(mutex_);
        total_ = count;
    }
    void addChild(std::shared_ptr<TranscriptionProgressCounter> child, std::int64_t pendingUnitCount) {
        std::lock_guard guard(mutex_);
        children_.push_back({std::move(child), pendingUnitCount});
    }
    // The children's completed shares weighed by their units, over the total; 0 for a total of 0.
    double fractionCompleted() const {
        std::lock_guard guard(mutex_);
        if (total_ <= 0) {
            return 0.0;
        }
        double done = 0;
        for (const auto& child : children_) {
            done += double(child.pendingUnitCount) * std::min(1.0, child.counter->fractionCompleted());
        }
        return std::min(1.0, done / double(total_));
    }
    bool isFinished() const { return fractionCompleted() >= 1.0; }

private:
    struct Child {
        std::shared_ptr<TranscriptionProgressCounter> counter;
        std::int64_t pendingUnitCount;
    };
    mutable std::mutex mutex_;
    std::int64_t total_ = 0;
    std::vector<Child> children_;
};

} // namespace ZodozorEro
