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
        return "Parlindo needs Input Monitoring permission to detect the dictation key.";
    }

    bool operator==(const TapError& other) const { return kind_ == other.kind_; }

private:
    Kind kind_;
};

} // namespace TessarinPlatform
