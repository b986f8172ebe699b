#pragma once

#include "System/Log/ErrorDescription.h"

#include <exception>
#include <string>

namespace System::Speech {

// A failure of the speech layer: a model that can't be loaded or installed, audio in the wrong format, or a
// recognizer that fails while analysing.
class SpeechError : public System::Log::DescribedError {
public:
    enum class Code {
        modelUnavailable, // the locale's model is missing or unreadable
        installationFailed,
        unsupportedAudioFormat,
        analysisFailed,
        invalidState, // an analyzer operation out of order (started twice, input before start)
    };

    SpeechError(Code code, std::string description)
        : DescribedError(std::move(description))
        , code_(code) {}

    Code code() const { return code_; }

private:
    Code code_;
};

} // namespace System::Speech
