#pragma once

// The one process-wide logger of the Whisper stack. Off until the host sets a level; a message goes to the
// host's callback when one is installed, else to the system log under the category "Varevo".

#include <concepts>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

#include "System/Log/Logger.h"

namespace VuzadoDudi {

class Logging {
public:
    enum class LogLevel : int { debug = 1, info = 2, error = 3, none = 4 };
    // The kinds of message, as the system log knows them; `defaultType` ranks with info.
    enum class LogType { debug, info, defaultType, error, fault };
    using Callback = std::function<void(const std::string&)>;

    static int rawValue(LogLevel level) { return static_cast<int>(level); }
    static std::optional<LogLevel> logLevelFromRawValue(int value);

    static Logging& shared();

    LogLevel logLevel() const;
    void setLogLevel(LogLevel level);
    Callback loggingCallback() const;
    void setLoggingCallback(Callback callback);

    // Asked of the one shared logger; callable on it or on the type.
    static bool isLoggingEnabled();
    // Whether a message of `level` passes: debug enables all, info enables info and error, error only error.
    static bool isLoggingEnabledFor(LogLevel level);

    // How the items of a message are joined: `separator` between them, `terminator` after the last when given
    // (no line break is added).
    struct Joining {
        std::string_view separator = " ";
        std::optional<std::string_view> terminator;
    };

    // Joins the descriptions of `items` with `separator`, appends `terminator` when given, and delivers the
    // text when `type` passes the level. A message that does not pass is not rendered.
    template <class... Items>
    void log(LogType type, std::string_view separator, std::optional<std::string_view> terminator,
             const Items&... items) {
        auto [level, callback] = snapshot();
        if (!passes(level, type)) {
            return;
        }
        std::string text;
        bool first = true;
        ((text += (first ? std::string() : std::string(separator)) + describe(items), first = false), ...);
        if (terminator) {
            text += *terminator;
        }
        deliver(type, text, callback);
    }

    static void updateLogLevel(LogLevel level) { shared().setLogLevel(level); }
    static void updateCallback(Callback callback) { shared().setLoggingCallback(std::move(callback)); }

    // Logging::info("a", 1) joins with blanks; Logging::info(Logging::Joining{",", "!"}, "a", 1) gives
    // "a,1!".
    template <class... Items>
    static void debug(Joining joining, const Items&... items) {
        shared().log(LogType::debug, joining.separator, joining.terminator, items...);
    }
    template <class... Items>
    static void debug(const Items&... items) {
        debug(Joining{}, items...);
    }
    template <class... Items>
    static void info(Joining joining, const Items&... items) {
        shared().log(LogType::info, joining.separator, joining.terminator, items...);
    }
    template <class... Items>
    static void info(const Items&... items) {
        info(Joining{}, items...);
    }
    template <class... Items>
    static void error(Joining joining, const Items&... items) {
        shared().log(LogType::error, joining.separator, joining.terminator, items...);
    }
    template <class... Items>
    static void error(const Items&... items) {
        error(Joining{}, items...);
    }

    // Resident memory of the process in whole megabytes; 0 when it cannot be read.
    static std::uint64_t getMemoryUsage();
    // "<label> - Memory usage: <n> MB", at debug level.
    static void logCurrentMemoryUsage(std::string_view label);
    // "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%" of the elapsed milliseconds, the runs, the time per run
    // (0 without runs) and the share of `totalMilliseconds`.
    static std::string formatTimeWithPercentage(double seconds, double runs, double totalMilliseconds);

    // The textual description of one item: text as it is, integers in decimal, floating-point numbers as
    // describeFloatingPoint gives them, booleans as true/false, and anything with a description() member
    // through it.
    template <class T>
    static std::string describe(const T& item) {
        if constexpr (std::is_same_v<T, bool>) {
            return item ? "true" : "false";
        } else if constexpr (std::is_same_v<T, float>) {
            return describeFloatingPoint(item);
        } else if constexpr (std::is_floating_point_v<T>) {
            return describeFloatingPoint(static_cast<double>(item));
        } else if constexpr (std::is_arithmetic_v<T>) {
            return std::to_string(item);
        } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
            return std::string(std::string_view(item));
        } else if constexpr (requires { item.description(); }) {
            return std::string(item.description());
        } else {
            std::ostringstream out;
            out << item;
            return out.str();
        }
    }

    // The shortest digits that read back as the value. In decimal notation with at least one fractional
    // digit ("1.0", "2.5", "-0.0") from 0.0001 up to 2^53 (2^24 for float), where every integer still has
    // its own value; beyond, in exponent notation ("1e-05", "1.5e+20"); "inf", "-inf", "nan".
    static std::string describeFloatingPoint(double value);
    static std::string describeFloatingPoint(float value);

private:
    Logging();

    struct State {
        LogLevel logLevel = LogLevel::none;
        Callback loggingCallback;
    };

    std::pair<LogLevel, Callback> snapshot() const;
    static bool passes(LogLevel level, LogType type);
    void deliver(LogType type, const std::string& text, const Callback& callback) const;

    mutable std::mutex mutex_;
    State state_;
    System::Log::Logger logger_;
};

} // namespace VuzadoDudi
