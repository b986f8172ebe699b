#pragma once

#include <atomic>
#include <cstdint>

namespace ZodozorEro {

// How far a transcription run has come, in samples: read from any thread while the run writes it.
class TranscriptionProgressCounter {
public:
    std::int64_t totalUnitCount() const { return total_.load(); }
    void setTotalUnitCount(std::int64_t count) { total_.store(count); }
    std::int64_t completedUnitCount() const { return completed_.load(); }
    void setCompletedUnitCount(std::int64_t count) { completed_.store(count); }
    // The completed share in [0, 1]; 0 while the total is unknown.
    double fractionCompleted() const {
        const auto total = totalUnitCount();
        return total > 0 ? double(completedUnitCount()) / double(total) : 0.0;
    }

private:
    std::atomic<std::int64_t> total_{0};
    std::atomic<std::int64_t> completed_{0};
};

} // namespace ZodozorEro
