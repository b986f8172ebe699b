#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "VuzadoDudi/Logging.h"

namespace ZodozorEroTesting {

// Routes the library logger into a list at the given level for the life of the object, then switches it off
// again, as every test finds it.
class LogCapture {
public:
    explicit LogCapture(VuzadoDudi::Logging::LogLevel level = VuzadoDudi::Logging::LogLevel::debug) {
        VuzadoDudi::Logging::updateLogLevel(level);
        VuzadoDudi::Logging::updateCallback([this](const std::string& line) {
            std::lock_guard guard(mutex_);
            lines_.push_back(line);
        });
    }
    ~LogCapture() {
        VuzadoDudi::Logging::updateCallback(nullptr);
        VuzadoDudi::Logging::updateLogLevel(VuzadoDudi::Logging::LogLevel::none);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard guard(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

} // namespace ZodozorEroTesting
