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
        : DescribedError(std::move(message))
        , kind_(kind) {}

    static WhisperError tokenizerUnavailable(std::string message) {
        return {Kind::tokenizerUnavailable, std::move(message)};
    }
    static WhisperError modelsUnavailable(std::string message) {
        return {Kind::modelsUnavailable, std::move(message)};
    }
    static WhisperError audioProcessingFailed(std::string message) {
        return {Kind::audioProcessingFailed, std::move(message)};
    }
    static WhisperError decodingLogitsFailed(std::string message) {
        return {Kind::decodingLogitsFailed, std::move(message)};
    }
    static WhisperError segmentingFailed(std::string message) {
        return {Kind::segmentingFailed, std::move(message)};
    }
    static WhisperError loadAudioFailed(std::string message) {
        return {Kind::loadAudioFailed, std::move(message)};
    }
    static WhisperError prepareDecoderInputsFailed(std::string message) {
        return {Kind::prepareDecoderInputsFailed, std::move(message)};
    }
    static WhisperError transcriptionFailed(std::string message) {
        return {Kind::transcriptionFailed, std::move(message)};
    }
    static WhisperError decodingFailed(std::string message) {
        return {Kind::decodingFailed, std::move(message)};
    }
    static WhisperError microphoneUnavailable(std::string message) {
        return {Kind::microphoneUnavailable, std::move(message)};
    }
    static WhisperError initializationError(std::string message) {
        return {Kind::initializationError, std::move(message)};
    }

    Kind kind() const { return kind_; }
    const std::string& message() const { return description(); }

    // The message, written to the library log at error level first, so an error that reaches a user also
    // leaves its trace in the log.
    std::string errorDescription() const;

    bool operator==(const WhisperError& other) const {
        return kind_ == other.kind_ && message() == other.message();
    }

private:
    Kind kind_;
};

} // namespace ZodozorEro
