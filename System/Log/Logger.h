#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace System::Log {

enum class Level { debug, info, notice, error, fault };

std::string_view levelName(Level level);

// One interpolated value of a log message. Private values are redacted unless private logging is on.
struct Value {
    std::string text;
    bool isPrivate = false;
};

namespace detail {
template <class T>
std::string toText(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_floating_point_v<T>) {
        std::string text = std::to_string(value);
        while (text.size() > 1 && text.back() == '0' && text[text.size() - 2] != '.') {
            text.pop_back();
        }
        return text;
    } else if constexpr (std::is_arithmetic_v<T>) {
        return std::to_string(value);
    } else {
        return std::string(std::string_view(value));
    }
}

template <class T>
Value toValue(const T& value) {
    if constexpr (std::is_same_v<T, Value>) {
        return value;
    } else {
        // Numbers and flags say nothing about the user; text might, so it is private unless marked public.
        return Value{toText(value), !std::is_arithmetic_v<T>};
    }
}
} // namespace detail

template <class T>
Value Public(const T& value) {
    return Value{detail::toText(value), false};
}
template <class T>
Value Private(const T& value) {
    return Value{detail::toText(value), true};
}

enum class RecordKind { message, intervalBegin, intervalEnd };

struct Record {
    std::string subsystem;
    std::string category;
    Level level = Level::info;
    RecordKind kind = RecordKind::message;
    // The message with private values redacted as "<private>" (or shown, when private logging is on); for a
    // signpost, the interval's name.
    std::string message;
    // Signposts: the id shared by an interval's begin and end.
    std::uint64_t intervalId = 0;
};

class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const Record& record) = 0;
};

// Private values appear in clear only when the user asks for it (PARLINDO_LOG_PRIVATE=1, or this switch).
void setPrivateLoggingEnabled(bool enabled);
bool privateLoggingEnabled();

// Renders `format`, replacing each "{}" in turn with the next value.
std::string render(std::string_view format, const std::vector<Value>& values, bool revealPrivate);

// A logger for one subsystem and category. Cheap to copy; safe from any thread.
class Logger {
public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem))
        , category_(std::move(category)) {}

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    template <class... Args>
    void debug(std::string_view format, const Args&... args) const {
        log(Level::debug, format, {detail::toValue(args)...});
    }
    template <class... Args>
    void info(std::string_view format, const Args&... args) const {
        log(Level::info, format, {detail::toValue(args)...});
    }
    template <class... Args>
    void notice(std::string_view format, const Args&... args) const {
        log(Level::notice, format, {detail::toValue(args)...});
    }
    template <class... Args>
    void error(std::string_view format, const Args&... args) const {
        log(Level::error, format, {detail::toValue(args)...});
    }
    template <class... Args>
    void fault(std::string_view format, const Args&... args) const {
        log(Level::fault, format, {detail::toValue(args)...});
    }

    void log(Level level, std::string_view format, std::vector<Value> values) const;

private:
    std::string subsystem_;
    std::string category_;
};

// Marks intervals (a recording, a transcription) so their lengths can be read off the log.
class Signposter {
public:
    explicit Signposter(Logger logger)
        : logger_(std::move(logger)) {}

    // Ends itself when destroyed, unless ended before.
    class Interval {
    public:
        Interval() = default;
        Interval(Interval&& other) noexcept;
        Interval& operator=(Interval&& other) noexcept;
        Interval(const Interval&) = delete;
        Interval& operator=(const Interval&) = delete;
        ~Interval() { end(); }
        void end();
        bool isActive() const { return active_; }

    private:
        friend class Signposter;
        Interval(const Logger* logger, std::string name, std::uint64_t id)
            : logger_(logger)
            , name_(std::move(name))
            , id_(id)
            , active_(true) {}
        const Logger* logger_ = nullptr;
        std::string name_;
        std::uint64_t id_ = 0;
        bool active_ = false;
    };

    // The signposter must outlive its intervals.
    [[nodiscard]] Interval beginInterval(std::string name) const;

private:
    Logger logger_;
};

// Captures every record while it exists (and keeps them from the normal output), for tests.
class CaptureSink : public Sink {
public:
    CaptureSink();
    ~CaptureSink() override;
    CaptureSink(const CaptureSink&) = delete;
    CaptureSink& operator=(const CaptureSink&) = delete;

    void write(const Record& record) override;
    std::vector<Record> records() const;
    // The messages of one category, in order.
    std::vector<std::string> messages(std::string_view category) const;

private:
    struct State;
    State* state_;
    Sink* previous_;
};

// Installs `sink` (nullptr restores the standard-error sink) and returns the one it replaces.
Sink* setSink(Sink* sink);

// Logs `message` as a fault and aborts: for programming faults that must stop the application.
[[noreturn]] void fatalError(std::string_view message);

} // namespace System::Log
