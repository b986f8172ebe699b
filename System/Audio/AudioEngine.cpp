#include "System/Audio/AudioEngine.h"

namespace System::Audio {

namespace {
std::string describe(AudioEngineError::Code code, const std::string& detail) {
    std::string text;
    switch (code) {
    case AudioEngineError::Code::serverUnavailable:
        text = "The sound server can't be reached";
        break;
    case AudioEngineError::Code::noInputDevice:
        text = "The sound server has no microphone";
        break;
    case AudioEngineError::Code::streamFailed:
        text = "The sound server refused to record";
        break;
    }
    return detail.empty() ? text + "." : text + ": " + detail + ".";
}
} // namespace

AudioEngineError::AudioEngineError(Code code, std::string detail)
    : DescribedError(describe(code, detail))
    , code_(code)
    , detail_(std::move(detail)) {}

} // namespace System::Audio
