#pragma once

#include <exception>
#include <string>

namespace TessarinPlatform {

// Why the dictation keys cannot be watched.
class TapError : public std::exception {
public:
    enum class Kind { inputMonitoringNotGranted };

    explicit TapError(Kind kind)
        : kind_(kind) {}

    Kind kind() const { return kind_; }
    std::string description() const { return what(); }
    const char* what() const noexcept override {
        return "Parlindo can't watch the dictation keys: it needs an X display with the XInput2 extension "
               "(an X11 session, or XWayland).";
    }

    bool operator==(const TapError& other) const { return kind_ == other.kind_; }

private:
    Kind kind_;
};

} // namespace TessarinPlatform
