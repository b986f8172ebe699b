#pragma once

#include "System/Concurrency/Duration.h"

namespace System::Concurrency {

// A point on the continuous monotonic clock (CLOCK_BOOTTIME: it keeps advancing while the machine sleeps),
// held as the exact duration since the clock's origin.
class Instant {
public:
    constexpr Instant() = default;
    static constexpr Instant sinceOrigin(Duration offset) { return Instant(offset); }
    // Reads CLOCK_BOOTTIME. Core code takes its time from its executor instead.
    static Instant now();

    constexpr Duration sinceOrigin() const { return offset_; }
    constexpr Duration operator-(Instant other) const { return offset_ - other.offset_; }
    constexpr Instant operator+(Duration d) const { return Instant(offset_ + d); }
    constexpr Instant operator-(Duration d) const { return Instant(offset_ - d); }
    constexpr bool operator==(const Instant&) const = default;
    constexpr std::strong_ordering operator<=>(const Instant&) const = default;

private:
    constexpr explicit Instant(Duration offset)
        : offset_(offset) {}
    Duration offset_;
};

} // namespace System::Concurrency
