#include "TessarinPlatform/Audio/RecorderError.h"

namespace TessarinPlatform {

namespace {
std::string describe(RecorderError::Case errorCase) {
    switch (errorCase) {
    case RecorderError::Case::noInputDevice:
        return "No microphone is available.";
    case RecorderError::Case::alreadyRecording:
        return "A recording is already in progress.";
    case RecorderError::Case::unsupportedFormat:
        return "The microphone's audio format can't be converted.";
    }
    return {};
}
} // namespace

RecorderError::RecorderError(Case errorCase)
    : DescribedError(describe(errorCase))
    , case_(errorCase) {}

} // namespace TessarinPlatform
