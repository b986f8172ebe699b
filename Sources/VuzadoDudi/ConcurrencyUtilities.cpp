#include "VuzadoDudi/ConcurrencyUtilities.h"

#include <sched.h>
#include <unistd.h>

namespace VuzadoDudi {

int ConcurrencyUtilities::activeProcessorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return count;
        }
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(online) : 1;
}

void EarlyStopActor::set(bool value, const UUID& id) {
    std::lock_guard guard(mutex_);
    shouldStop_.insert_or_assign(id, value);
}

bool EarlyStopActor::get(const UUID& id) const {
    std::lock_guard guard(mutex_);
    auto found = shouldStop_.find(id);
    return found != shouldStop_.end() && found->second;
}

std::optional<bool> EarlyStopActor::remove(const UUID& id) {
    std::lock_guard guard(mutex_);
    auto found = shouldStop_.find(id);
    if (found == shouldStop_.end()) {
        return std::nullopt;
    }
    const bool value = found->second;
    shouldStop_.erase(found);
    return value;
}

} // namespace VuzadoDudi
