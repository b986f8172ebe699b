#include "System/Log/Logger.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

namespace System::Log {

namespace {

std::atomic<int> privateLogging{-1}; // -1: not yet read from the environment

class StderrSink : public Sink {
public:
    void write(const Record& record) override {
        if (record.level < minimumLevel()) {
            return;
        }
        std::string line;
        line.reserve(record.message.size() + 64);
        line.append("[").append(record.subsystem).append(":").append(record.category).append("] ");
        line.append(levelName(record.level)).append(": ");
        switch (record.kind) {
        case RecordKind::message:
            break;
        case RecordKind::intervalBegin:
            line.append("begin interval #").append(std::to_string(record.intervalId)).append(" ");
            break;
        case RecordKind::intervalEnd:
            line.append("end interval #").append(std::to_string(record.intervalId)).append(" ");
            break;
        }
        line.append(record.message).append("\n");
        std::fwrite(line.data(), 1, line.size(), stderr);
    }

private:
    // PARLINDO_LOG_LEVEL chooses how much reaches standard error; notices and worse by default.
    static Level minimumLevel() {
        static const Level level = [] {
            const char* value = std::getenv("PARLINDO_LOG_LEVEL");
            if (value == nullptr) {
                return Level::notice;
            }
            for (Level candidate : {Level::debug, Level::info, Level::notice, Level::error, Level::fault}) {
                if (levelName(candidate) == value) {
                    return candidate;
                }
            }
            return Level::notice;
        }();
        return level;
    }
};

std::mutex sinkMutex;
StderrSink stderrSink;
Sink* currentSink = &stderrSink;

void emit(const Record& record) {
    std::lock_guard lock(sinkMutex);
    currentSink->write(record);
}

std::atomic<std::uint64_t> nextIntervalId{1};

} // namespace

std::string_view levelName(Level level) {
    switch (level) {
    case Level::debug:
        return "debug";
    case Level::info:
        return "info";
    case Level::notice:
        return "notice";
    case Level::error:
        return "error";
    case Level::fault:
        return "fault";
    }
    return "notice";
}

void setPrivateLoggingEnabled(bool enabled) {
    privateLogging.store(enabled ? 1 : 0);
}

bool privateLoggingEnabled() {
    int value = privateLogging.load();
    if (value < 0) {
        const char* env = std::getenv("PARLINDO_LOG_PRIVATE");
        value = (env != nullptr && std::strcmp(env, "1") == 0) ? 1 : 0;
        privateLogging.store(value);
    }
    return value == 1;
}

std::string render(std::string_view format, const std::vector<Value>& values, bool revealPrivate) {
    std::string out;
    out.reserve(format.size() + 32);
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '{' && i + 1 < format.size() && format[i + 1] == '}' && next < values.size()) {
            const Value& value = values[next++];
            out.append(value.isPrivate && !revealPrivate ? "<private>" : value.text);
            ++i;
        } else {
            out.push_back(format[i]);
        }
    }
    return out;
}

void Logger::log(Level level, std::string_view format, std::vector<Value> values) const {
    emit(Record{subsystem_, category_, level, RecordKind::message,
                render(format, values, privateLoggingEnabled()), 0});
}

Signposter::Interval Signposter::beginInterval(std::string name) const {
    const std::uint64_t id = nextIntervalId.fetch_add(1);
    emit(Record{logger_.subsystem(), logger_.category(), Level::debug, RecordKind::intervalBegin, name, id});
    return Interval(&logger_, std::move(name), id);
}

Signposter::Interval::Interval(Interval&& other) noexcept
    : logger_(other.logger_)
    , name_(std::move(other.name_))
    , id_(other.id_)
    , active_(std::exchange(other.active_, false)) {}

Signposter::Interval& Signposter::Interval::operator=(Interval&& other) noexcept {
    if (this != &other) {
        end();
        logger_ = other.logger_;
        name_ = std::move(other.name_);
        id_ = other.id_;
        active_ = std::exchange(other.active_, false);
    }
    return *this;
}

void Signposter::Interval::end() {
    if (!active_) {
        return;
    }
    active_ = false;
    emit(
        Record{logger_->subsystem(), logger_->category(), Level::debug, RecordKind::intervalEnd, name_, id_});
}

struct CaptureSink::State {
    mutable std::mutex mutex;
    std::vector<Record> records;
};

CaptureSink::CaptureSink()
    : state_(new State) {
    previous_ = setSink(this);
}

CaptureSink::~CaptureSink() {
    setSink(previous_);
    delete state_;
}

void CaptureSink::write(const Record& record) {
    std::lock_guard lock(state_->mutex);
    state_->records.push_back(record);
}

std::vector<Record> CaptureSink::records() const {
    std::lock_guard lock(state_->mutex);
    return state_->records;
}

std::vector<std::string> CaptureSink::messages(std::string_view category) const {
    std::vector<std::string> result;
    for (const Record& record : records()) {
        if (record.category == category && record.kind == RecordKind::message) {
            result.push_back(record.message);
        }
    }
    return result;
}

Sink* setSink(Sink* sink) {
    std::lock_guard lock(sinkMutex);
    Sink* previous = currentSink == &stderrSink ? nullptr : currentSink;
    currentSink = sink != nullptr ? sink : &stderrSink;
    return previous;
}

void fatalError(std::string_view message) {
    Logger("com.tessarin.Tessarin", "Fatal").fault("Fatal error: {}", Public(message));
    std::fprintf(stderr, "Fatal error: %.*s\n", static_cast<int>(message.size()), message.data());
    std::abort();
}

} // namespace System::Log
