#pragma once

#include <compare>
#include <cstdint>
#include <utility>

namespace System::Concurrency {

// A signed time span: a 128-bit count of attoseconds (1e-18 s). Exact, so a duration between two instants
// is their exact difference, and the stored [high, low] form round-trips.
class Duration {
public:
    using Rep = __int128;
    static constexpr Rep attosecondsPerSecond = 1'000'000'000'000'000'000;
    static constexpr Rep maxRep = static_cast<Rep>(~static_cast<unsigned __int128>(0) >> 1);
    static constexpr Rep minRep = -maxRep - 1;

    constexpr Duration() = default;

    static constexpr Duration attoseconds(Rep count) { return Duration(count); }
    static constexpr Duration nanoseconds(std::int64_t n) { return Duration(Rep(n) * 1'000'000'000); }
    static constexpr Duration microseconds(std::int64_t n) { return Duration(Rep(n) * 1'000'000'000'000); }
    static constexpr Duration milliseconds(std::int64_t n) {
        return Duration(Rep(n) * 1'000'000'000'000'000);
    }
    static constexpr Duration seconds(std::int64_t n) { return Duration(Rep(n) * attosecondsPerSecond); }
    // Rounds to the nearest attosecond; a value outside the representable range saturates.
    static Duration seconds(double s);
    static constexpr Duration zero() { return Duration(); }

    // The stored form: attoseconds = high * 2^64 + low.
    static constexpr Duration fromHighLow(std::int64_t high, std::uint64_t low) {
        return Duration(Rep((static_cast<unsigned __int128>(static_cast<std::uint64_t>(high)) << 64) | low));
    }
    constexpr std::int64_t high() const { return static_cast<std::int64_t>(count_ >> 64); }
    constexpr std::uint64_t low() const { return static_cast<std::uint64_t>(count_); }

    constexpr Rep attoseconds() const { return count_; }
    // Whole seconds and the remaining attoseconds, both with the sign of the whole span.
    constexpr std::pair<std::int64_t, std::int64_t> components() const {
        return {static_cast<std::int64_t>(count_ / attosecondsPerSecond),
                static_cast<std::int64_t>(count_ % attosecondsPerSecond)};
    }

    // Seconds as a double: whole seconds + attoseconds / 1e18.
    double timeInterval() const;
    // Whole milliseconds, halves rounded away from zero (1.5 ms gives 2, 2.5 ms gives 3).
    std::int64_t milliseconds() const;
    // Nanoseconds, saturated to the 64-bit range (for timer deadlines).
    std::int64_t nanosecondsSaturated() const;

    // Sums and differences saturate at the ends of the range: durations come from stored settings, which may
    // hold any value, and a deadline must never wrap around.
    constexpr Duration operator-() const { return count_ == minRep ? Duration(maxRep) : Duration(-count_); }
    constexpr Duration operator+(Duration other) const {
        Rep sum = 0;
        if (__builtin_add_overflow(count_, other.count_, &sum)) {
            return Duration(other.count_ > 0 ? maxRep : minRep);
        }
        return Duration(sum);
    }
    constexpr Duration operator-(Duration other) const {
        Rep difference = 0;
        if (__builtin_sub_overflow(count_, other.count_, &difference)) {
            return Duration(other.count_ < 0 ? maxRep : minRep);
        }
        return Duration(difference);
    }
    constexpr Duration operator*(std::int64_t factor) const { return Duration(count_ * factor); }
    constexpr Duration operator/(std::int64_t divisor) const { return Duration(count_ / divisor); }
    constexpr Duration& operator+=(Duration other) { return *this = *this + other; }
    constexpr Duration& operator-=(Duration other) { return *this = *this - other; }

    constexpr bool operator==(const Duration&) const = default;
    constexpr std::strong_ordering operator<=>(const Duration&) const = default;

private:
    constexpr explicit Duration(Rep count)
        : count_(count) {}
    Rep count_ = 0;
};

} // namespace System::Concurrency
