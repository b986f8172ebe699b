#include "VuzadoDudi/Logging.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <utility>

#include <unistd.h>

namespace VuzadoDudi {

namespace {
// The library's own subsystem name; the host application logs under its own.
constexpr const char* kSubsystem = "com.vuzadodudi.runtime";
} // namespace

Logging::Logging()
    : logger_(kSubsystem, "Varevo") {}

Logging& Logging::shared() {
    static Logging* instance = new Logging(); // lives until the process ends
    return *instance;
}

std::optional<Logging::LogLevel> Logging::logLevelFromRawValue(int value) {
    if (value >= 1 && value <= 4) {
        return static_cast<LogLevel>(value);
    }
    return std::nullopt;
}

Logging::LogLevel Logging::logLevel() const {
    std::lock_guard guard(mutex_);
    return state_.logLevel;
}

void Logging::setLogLevel(LogLevel level) {
    std::lock_guard guard(mutex_);
    state_.logLevel = level;
}

Logging::Callback Logging::loggingCallback() const {
    std::lock_guard guard(mutex_);
    return state_.loggingCallback;
}

void Logging::setLoggingCallback(Callback callback) {
    Callback old;
    {
        std::lock_guard guard(mutex_);
        old = std::exchange(state_.loggingCallback, std::move(callback));
    }
}

bool Logging::isLoggingEnabled() {
    return shared().logLevel() != LogLevel::none;
}

bool Logging::isLoggingEnabledFor(LogLevel level) {
    const LogLevel current = shared().logLevel();
    return current != LogLevel::none && current <= level;
}

std::pair<Logging::LogLevel, Logging::Callback> Logging::snapshot() const {
    std::lock_guard guard(mutex_);
    return {state_.logLevel, state_.loggingCallback};
}

bool Logging::passes(LogLevel level, LogType type) {
    int rank = 2;
    switch (type) {
    case LogType::debug:
        rank = 1;
        break;
    case LogType::info:
    case LogType::defaultType:
        rank = 2;
        break;
    case LogType::error:
    case LogType::fault:
        rank = 3;
        break;
    }
    return level != LogLevel::none && rank >= rawValue(level);
}

void Logging::deliver(LogType type, const std::string& text, const Callback& callback) const {
    if (callback) {
        callback(text);
        return;
    }
    using System::Log::Level;
    Level level = Level::notice;
    switch (type) {
    case LogType::debug:
        level = Level::debug;
        break;
    case LogType::info:
        level = Level::info;
        break;
    case LogType::defaultType:
        level = Level::notice;
        break;
    case LogType::error:
        level = Level::error;
        break;
    case LogType::fault:
        level = Level::fault;
        break;
    }
    logger_.log(level, "{}", {System::Log::Public(text)});
}

namespace {

template <class F>
std::string floatingPointDescription(F value, F exponentAbove) {
    if (std::isnan(value)) {
        return std::signbit(value) ? "-nan" : "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char buffer[64];
    const auto scientific =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view shortest(buffer, static_cast<std::size_t>(scientific.ptr - buffer));
    int exponent = 0;
    const std::string_view digits = shortest.substr(shortest.find('e') + 1);
    std::from_chars(digits.data() + (digits.front() == '+' ? 1 : 0), digits.data() + digits.size(), exponent);
    if (value != 0 && (exponent < -4 || std::fabs(value) > exponentAbove)) {
        return std::string(shortest);
    }
    const auto fixed = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    std::string text(buffer, fixed.ptr);
    if (text.find('.') == std::string::npos) {
        text += ".0";
    }
    return text;
}

} // namespace

std::string Logging::describeFloatingPoint(double value) {
    return floatingPointDescription(value, 0x1p53);
}

std::string Logging::describeFloatingPoint(float value) {
    return floatingPointDescription(value, 0x1p24f);
}

std::uint64_t Logging::getMemoryUsage() {
    // The second field of statm is the resident set, in pages.
    std::ifstream statm("/proc/self/statm");
    std::uint64_t size = 0;
    std::uint64_t resident = 0;
    if (!(statm >> size >> resident)) {
        return 0;
    }
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) {
        return 0;
    }
    return (resident * static_cast<std::uint64_t>(pageSize)) >> 20;
}

void Logging::logCurrentMemoryUsage(std::string_view label) {
    shared().log(LogType::debug, " ", std::nullopt,
                 std::string(label) + " - Memory usage: " + std::to_string(getMemoryUsage()) + " MB");
}

std::string Logging::formatTimeWithPercentage(double seconds, double runs, double totalMilliseconds) {
    const double milliseconds = seconds * 1000;
    const double perRun = runs > 0 ? milliseconds / runs : 0;
    const double share = milliseconds / totalMilliseconds * 100;
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%", milliseconds, runs, perRun,
                  share);
    return buffer;
}

} // namespace VuzadoDudi
