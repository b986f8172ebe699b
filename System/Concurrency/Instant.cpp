#include "System/Concurrency/Instant.h"

#include <ctime>

namespace System::Concurrency {

Instant Instant::now() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return Instant(Duration::seconds(static_cast<std::int64_t>(ts.tv_sec)) +
                   Duration::nanoseconds(ts.tv_nsec));
}

} // namespace System::Concurrency
