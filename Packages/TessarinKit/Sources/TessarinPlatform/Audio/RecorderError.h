#pragma once

#include "System/Log/ErrorDescription.h"

#include <exception>
#include <string>

namespace TessarinPlatform {

// Why the microphone recorder could not start.
class RecorderError : public System::Log::DescribedError {
public:
    enum class Case { noInputDevice, alreadyRecording, unsupportedFormat };

    explicit RecorderError(Case errorCase);

    Case errorCase() const { return case_; }

    bool operator==(const RecorderError& other) const { return case_ == other.case_; }

private:
    Case case_;
};

} // namespace TessarinPlatform
