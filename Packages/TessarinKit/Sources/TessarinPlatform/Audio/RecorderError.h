#pragma once

#include <exception>
#include <string>

namespace TessarinPlatform {

// Why the microphone recorder could not start.
class RecorderError : public std::exception {
public:
    enum class Case { noInputDevice, alreadyRecording, unsupportedFormat };

    explicit RecorderError(Case errorCase);

    Case errorCase() const { return case_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    bool operator==(const RecorderError& other) const { return case_ == other.case_; }

private:
    Case case_;
    std::string description_;
};

} // namespace TessarinPlatform
