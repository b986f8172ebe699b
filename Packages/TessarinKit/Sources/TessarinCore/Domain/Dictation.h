#pragma once

#include "System/Concurrency/Duration.h"
#include "System/Log/ErrorDescription.h"
#include "TessarinCore/Domain/RawValue.h"
#include "TessarinCore/Domain/Transcription.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <variant>

namespace TessarinCore {

using Duration = System::Concurrency::Duration;

// One application: the dictation's target, or the one in front.
struct AppIdentity {
    std::optional<std::string> bundleIdentifier;
    // Its process; 0 or less when the desktop does not say.
    std::int32_t processIdentifier = 0;
    std::optional<std::string> localizedName;
    // The window of it that was active, where the desktop names one: what still tells two applications
    // apart when their processes are unknown.
    std::optional<std::uint64_t> windowIdentifier;

    bool hasKnownProcess() const { return processIdentifier > 0; }

    bool operator==(const AppIdentity&) const = default;
};

// How text goes into the front application; also part of the stored settings.
enum class InsertionMethod { paste, type };

template <>
struct RawValues<InsertionMethod> {
    static constexpr std::array<std::pair<InsertionMethod, std::string_view>, 2> cases{{
        {InsertionMethod::paste, "paste"},
        {InsertionMethod::type, "type"},
    }};
};

std::string_view displayName(InsertionMethod method);

// What the coordinator hands to the text inserter.
struct InsertionRequest {
    std::string text;
    std::optional<AppIdentity> target; // in front when the dictation began
    InsertionMethod method = InsertionMethod::paste;
    bool restoresClipboard = true;

    bool operator==(const InsertionRequest&) const = default;
};

// What the inserter did; a reason is shown to the user.
struct InsertionOutcome {
    struct Inserted {
        bool operator==(const Inserted&) const = default;
    };
    struct CopiedToClipboard {
        std::string reason;
        bool operator==(const CopiedToClipboard&) const = default;
    };
    struct Skipped {
        std::string reason;
        bool operator==(const Skipped&) const = default;
    };

    std::variant<Inserted, CopiedToClipboard, Skipped> value;

    static InsertionOutcome inserted() { return {Inserted{}}; }
    static InsertionOutcome copiedToClipboard(std::string reason) {
        return {CopiedToClipboard{std::move(reason)}};
    }
    static InsertionOutcome skipped(std::string reason) { return {Skipped{std::move(reason)}}; }

    bool operator==(const InsertionOutcome&) const = default;
};

// Why a dictation failed. Thrown and caught like any error; description() is the overlay's wording.
class DictationFailure : public System::Log::DescribedError {
public:
    struct MicrophoneUnavailable {
        std::string reason;
        bool operator==(const MicrophoneUnavailable&) const = default;
    };
    struct NoEngineAvailable {
        DictationLanguage language;
        bool operator==(const NoEngineAvailable&) const = default;
    };
    struct TranscriptionFailed {
        std::string reason;
        bool operator==(const TranscriptionFailed&) const = default;
    };
    // The recording was empty or held only zero samples.
    struct MicrophoneSilent {
        bool operator==(const MicrophoneSilent&) const = default;
    };
    using Value =
        std::variant<MicrophoneUnavailable, NoEngineAvailable, TranscriptionFailed, MicrophoneSilent>;

    explicit DictationFailure(Value value);

    static DictationFailure microphoneUnavailable(std::string reason) {
        return DictationFailure(MicrophoneUnavailable{std::move(reason)});
    }
    static DictationFailure noEngineAvailable(DictationLanguage language) {
        return DictationFailure(NoEngineAvailable{language});
    }
    static DictationFailure transcriptionFailed(std::string reason) {
        return DictationFailure(TranscriptionFailed{std::move(reason)});
    }
    static DictationFailure microphoneSilent() { return DictationFailure(MicrophoneSilent{}); }

    const Value& value() const { return value_; }

    bool operator==(const DictationFailure& other) const { return value_ == other.value_; }

private:
    Value value_;
};

// The coordinator's observable state.
struct DictationState {
    struct Idle {
        bool operator==(const Idle&) const = default;
    };
    struct Recording {
        bool operator==(const Recording&) const = default;
    };
    struct Transcribing {
        bool operator==(const Transcribing&) const = default;
    };
    struct Inserting {
        bool operator==(const Inserting&) const = default;
    };
    struct Failed {
        DictationFailure failure;
        bool operator==(const Failed&) const = default;
    };

    std::variant<Idle, Recording, Transcribing, Inserting, Failed> value;

    static DictationState idle() { return {Idle{}}; }
    static DictationState recording() { return {Recording{}}; }
    static DictationState transcribing() { return {Transcribing{}}; }
    static DictationState inserting() { return {Inserting{}}; }
    static DictationState failed(DictationFailure failure) { return {Failed{std::move(failure)}}; }

    bool operator==(const DictationState&) const = default;
};

// Timings of one transcribed dictation.
struct DictationMetrics {
    Duration holdDuration;          // how long the key was held
    Duration audioDuration;         // the whole recorded clip, before trimming
    Duration speechDuration;        // the speech the silence trimmer kept
    Duration transcriptionDuration; // getting the transcript, fallback included
    Duration releaseToText;         // from the key's release to the end of transcription

    bool operator==(const DictationMetrics&) const = default;
};

// The result of a transcribed dictation.
struct DictationResult {
    std::string text; // cleaned, without a trailing space added for insertion
    Transcript transcript;
    InsertionOutcome outcome;
    DictationMetrics metrics;
    std::optional<std::string> fallbackReason; // why the first engine was not used

    bool operator==(const DictationResult&) const = default;
};

// How one dictation ended.
struct DictationOutcome {
    struct Transcribed {
        DictationResult result;
        bool operator==(const Transcribed&) const = default;
    };
    struct Failed {
        DictationFailure failure;
        bool operator==(const Failed&) const = default;
    };
    struct NoSpeech {
        bool operator==(const NoSpeech&) const = default;
    };
    struct Cancelled {
        bool operator==(const Cancelled&) const = default;
    };

    std::variant<Transcribed, Failed, NoSpeech, Cancelled> value;

    static DictationOutcome transcribed(DictationResult result) { return {Transcribed{std::move(result)}}; }
    static DictationOutcome failed(DictationFailure failure) { return {Failed{std::move(failure)}}; }
    static DictationOutcome noSpeech() { return {NoSpeech{}}; }
    static DictationOutcome cancelled() { return {Cancelled{}}; }

    bool operator==(const DictationOutcome&) const = default;
};

// Published at the end of every dictation; ids count published events from 1.
struct DictationEvent {
    std::int64_t id = 0;
    DictationOutcome outcome;

    bool operator==(const DictationEvent&) const = default;
};

} // namespace TessarinCore
