#pragma once

#include "System/Log/ErrorDescription.h"

#include <string>

namespace ZodozorEro {

// The one error of the Whisper pipeline: a kind and the message that is its description.
class WhisperError : public System::Log::DescribedError {
public:
    enum class Kind {
        tokenizerUnavailable,
        modelsUnavailable,
        audioProcessingFailed,
        decodingLogitsFailed,
        segmentingFailed,
        loadAudioFailed,
        prepareDecoderInputsFailed,
        transcriptionFailed,
        decodingFailed,
        microphoneUnavailable,
        initializationError,
    };

    WhisperError(Kind kind, std::string message)
        : DescribedError(message)
        , kind_(kind) {}

    static WhisperError audioProcessingFailed(std::string message) {
        return {Kind::audioProcessingFailed, std::move(message)};
    }
    static WhisperError loadAudioFailed(std::string message) { return {Kind::loadAudioFailed, std::move(message)}; }

    Kind kind() const { return kind_; }
    const std::string& message() const { return description(); }

    bool operator==(const WhisperError& other) const {
        return kind_ == other.kind_ && message() == other.message();
    }

private:
    Kind kind_;
};

} // namespace ZodozorEro
