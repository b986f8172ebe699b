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

    constexpr Duration operator-() const { return Duration(-count_); }
    constexpr Duration operator+(Duration other) const { return Duration(count_ + other.count_); }
    constexpr Duration operator-(Duration other) const { return Duration(count_ - other.count_); }
    constexpr Duration operator*(std::int64_t factor) const { return Duration(count_ * factor); }
    constexpr Duration operator/(std::int64_t divisor) const { return Duration(count_ / divisor); }
    constexpr Duration& operator+=(Duration other) {
        count_ += other.count_;
        return *this;
    }
    constexpr Duration& operator-=(Duration other) {
        count_ -= other.count_;
        return *this;
    }

    constexpr bool operator==(const Duration&) const = default;
    constexpr std::strong_ordering operator<=>(const Duration&) const = default;

private:
    constexpr explicit Duration(Rep count)
        : count_(count) {}
    Rep count_ = 0;
};

} // namespace System::Concurrency
