#pragma once

#include "System/Log/Logger.h"
#include "VuzadoDudi/Logging.h"

#include <string_view>

namespace ZodozorEro {

// The audio front end's log lines go through the library's logger, so the host's level and callback
// govern them like every other line of the library. Messages are rendered ("{}" replaced by each value in
// turn, private values redacted unless private logging is on) only when their level passes.
class AudioLog {
public:
    template <class... Args>
    void debug(std::string_view format, const Args&... args) const {
        if (passes(VuzadoDudi::Logging::LogLevel::debug)) {
            VuzadoDudi::Logging::debug(render(format, args...));
        }
    }
    template <class... Args>
    void info(std::string_view format, const Args&... args) const {
        if (passes(VuzadoDudi::Logging::LogLevel::info)) {
            VuzadoDudi::Logging::info(render(format, args...));
        }
    }
    template <class... Args>
    void error(std::string_view format, const Args&... args) const {
        if (passes(VuzadoDudi::Logging::LogLevel::error)) {
            VuzadoDudi::Logging::error(render(format, args...));
        }
    }

private:
    static bool passes(VuzadoDudi::Logging::LogLevel level) {
        return VuzadoDudi::Logging::shared().isLoggingEnabledFor(level);
    }
    template <class... Args>
    static std::string render(std::string_view format, const Args&... args) {
        return System::Log::render(format, {System::Log::detail::toValue(args)...},
                                   System::Log::privateLoggingEnabled());
    }
};

inline const AudioLog& audioLog() {
    static const AudioLog log;
    return log;
}

} // namespace ZodozorEro
