#include "VuzadoDudi/External/Hub/Progress.h"

#include <algorithm>

namespace VuzadoDudi {

Progress::Progress(std::int64_t totalUnitCount)
    : total_(std::max<std::int64_t>(totalUnitCount, 0)) {}

std::int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return total_;
}

std::int64_t Progress::completedUnitCount() const {
    std::vector<Child> children;
    std::int64_t completed = 0;
    {
        std::lock_guard lock(mutex_);
        children = children_;
        completed = completed_;
    }
    for (const auto& child : children) {
        if (child.progress->fractionCompleted() >= 1.0) {
            completed += child.pendingUnitCount;
        }
    }
    return completed;
}

void Progress::setCompletedUnitCount(std::int64_t count) {
    std::lock_guard lock(mutex_);
    completed_ = std::max<std::int64_t>(count, 0);
}

std::shared_ptr<Progress> Progress::addChild(std::int64_t totalUnitCount, std::int64_t pendingUnitCount) {
    auto child = std::make_shared<Progress>(totalUnitCount);
    std::lock_guard lock(mutex_);
    children_.push_back({child, std::max<std::int64_t>(pendingUnitCount, 0)});
    return child;
}

double Progress::fractionCompleted() const {
    std::vector<Child> children;
    double done = 0;
    std::int64_t total = 0;
    {
        std::lock_guard lock(mutex_);
        children = children_;
        done = static_cast<double>(completed_);
        total = total_;
    }
    if (total == 0) {
        return 0;
    }
    for (const auto& child : children) {
        done += child.progress->fractionCompleted() * static_cast<double>(child.pendingUnitCount);
    }
    return std::clamp(done / static_cast<double>(total), 0.0, 1.0);
}

std::optional<double> Progress::throughput() const {
    std::lock_guard lock(mutex_);
    return throughput_;
}

void Progress::setThroughput(double bytesPerSecond) {
    std::lock_guard lock(mutex_);
    throughput_ = bytesPerSecond;
}

} // namespace VuzadoDudi
