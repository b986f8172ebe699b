#pragma once

#include <exception>
#include <string>

namespace System::Speech {

// A failure of the speech layer: a model that can't be loaded or installed, audio in the wrong format, or a
// recognizer that fails while analysing.
class SpeechError : public std::exception {
public:
    enum class Code {
        modelUnavailable, // the locale's model is missing or unreadable
        installationFailed,
        unsupportedAudioFormat,
        analysisFailed,
        invalidState, // an analyzer operation out of order (started twice, input before start)
    };

    SpeechError(Code code, std::string description)
        : code_(code)
        , description_(std::move(description)) {}

    Code code() const { return code_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    Code code_;
    std::string description_;
};

} // namespace System::Speech
