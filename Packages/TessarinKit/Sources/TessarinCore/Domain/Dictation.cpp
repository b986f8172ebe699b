#include "TessarinCore/Domain/Dictation.h"

#include "TessarinCore/Domain/Overloaded.h"

namespace TessarinCore {

std::string_view displayName(InsertionMethod method) {
    switch (method) {
    case InsertionMethod::paste:
        return "Pasting (\u2318V)";
    case InsertionMethod::type:
        return "Typing";
    }
    return {};
}

namespace {
std::string describe(const DictationFailure::Value& value) {
    return std::visit(Overloaded{
                          [](const DictationFailure::MicrophoneUnavailable& failure) {
                              return "Microphone unavailable: " + failure.reason;
                          },
                          [](const DictationFailure::NoEngineAvailable& failure) {
                              return "No speech engine for " + std::string(displayName(failure.language));
                          },
                          [](const DictationFailure::TranscriptionFailed& failure) {
                              return "Transcription failed: " + failure.reason;
                          },
                          [](const DictationFailure::MicrophoneSilent&) {
                              return std::string("The microphone sent no sound");
                          },
                      },
                      value);
}
} // namespace

DictationFailure::DictationFailure(Value value)
    : DescribedError(describe(value))
    , value_(std::move(value)) {}

} // namespace TessarinCore
