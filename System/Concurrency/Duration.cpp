#include "System/Concurrency/Duration.h"

#include <cmath>
#include <limits>

namespace System::Concurrency {

Duration Duration::seconds(double s) {
    if (std::isnan(s)) {
        return Duration();
    }
    // Split into whole seconds and fraction so the attosecond count stays exact for large values.
    long double whole = 0;
    const long double fraction = std::modf(static_cast<long double>(s), &whole);
    if (whole >= 1.7e20L) {
        return Duration(maxRep);
    }
    if (whole <= -1.7e20L) {
        return Duration(minRep);
    }
    return Duration(static_cast<Rep>(whole) * attosecondsPerSecond +
                    static_cast<Rep>(std::llround(fraction * 1e18L)));
}

double Duration::timeInterval() const {
    const auto [secs, attos] = components();
    return static_cast<double>(secs) + static_cast<double>(attos) / 1e18;
}

std::int64_t Duration::milliseconds() const {
    return std::llround(timeInterval() * 1000.0);
}

std::int64_t Duration::nanosecondsSaturated() const {
    const Rep nanos = count_ / 1'000'000'000;
    if (nanos > std::numeric_limits<std::int64_t>::max()) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (nanos < std::numeric_limits<std::int64_t>::min()) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(nanos);
}

} // namespace System::Concurrency
