#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace VuzadoDudi {

// A count of work units done out of a total, with children that each stand for some units of their parent,
// so that a whole is as far along as the mean of its parts. Safe to read from any thread.
class Progress {
public:
    explicit Progress(std::int64_t totalUnitCount);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    std::int64_t totalUnitCount() const;
    // The units done, a finished child's units included.
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t count);

    // A child with `totalUnitCount` units of its own that counts for `pendingUnitCount` units of this one.
    std::shared_ptr<Progress> addChild(std::int64_t totalUnitCount, std::int64_t pendingUnitCount);

    // 0 to 1: own units plus each child's fraction of its pending units, over the total; 0 for a total of 0.
    double fractionCompleted() const;

    // Bytes per second, as the transfer last measured it.
    std::optional<double> throughput() const;
    void setThroughput(double bytesPerSecond);

private:
    struct Child {
        std::shared_ptr<Progress> progress;
        std::int64_t pendingUnitCount;
    };
    mutable std::mutex mutex_;
    std::int64_t total_;
    std::int64_t completed_ = 0;
    std::optional<double> throughput_;
    std::vector<Child> children_;
};

} // namespace VuzadoDudi
