#pragma once

#include <chrono>

namespace ZodozorEro::PipelineClock {

// Seconds since 2001-01-01 00:00 UTC: the epoch of the instants a timing record holds (`pipelineStart`,
// `firstTokenTime`), so records from different runs compare.
inline double absoluteTimeNow() {
    constexpr double secondsFrom1970To2001 = 978'307'200.0;
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(sinceEpoch).count() - secondsFrom1970To2001;
}

// A point for measuring durations, unaffected by changes of the wall clock.
using Stopwatch = std::chrono::steady_clock::time_point;

inline Stopwatch start() {
    return std::chrono::steady_clock::now();
}

inline double secondsSince(Stopwatch start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace ZodozorEro::PipelineClock
