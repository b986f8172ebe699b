#pragma once

#include "TessarinCore/Domain/RawValue.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace TessarinCore {

// The speech engines. The OpenAI engine's raw value is "cloud": settings files and log lines hold that.
enum class EngineID { appleSpeech, zodozorEro, tessarin, openAI, groq };

template <>
struct RawValues<EngineID> {
    static constexpr std::array<std::pair<EngineID, std::string_view>, 5> cases{{
        {EngineID::appleSpeech, "appleSpeech"},
        {EngineID::zodozorEro, "zodozorEro"},
        {EngineID::tessarin, "tessarin"},
        {EngineID::openAI, "cloud"},
        {EngineID::groq, "groq"},
    }};
};

std::string_view displayName(EngineID engine);
// True for the two on-device engines.
bool isLocal(EngineID engine);
// The engines that run on an API key the user supplies.
inline constexpr std::array<EngineID, 2> apiKeyEngines{EngineID::openAI, EngineID::groq};

// The language of a dictation key.
enum class DictationLanguage { automatic, english, arabic };

template <>
struct RawValues<DictationLanguage> {
    static constexpr std::array<std::pair<DictationLanguage, std::string_view>, 3> cases{{
        {DictationLanguage::automatic, "automatic"},
        {DictationLanguage::english, "english"},
        {DictationLanguage::arabic, "arabic"},
    }};
};

// Absent for automatic: the engine detects the language.
std::optional<std::string_view> isoCode(DictationLanguage language);
std::string_view displayName(DictationLanguage language);
std::string_view shortName(DictationLanguage language);

// One progress report of an engine's preparation.
struct EnginePreparation {
    struct Downloading {
        std::optional<double> fraction; // 0.0 to 1.0 when known
        std::optional<std::int64_t> bytesReceived;
        bool operator==(const Downloading&) const = default;
    };
    struct Optimizing {
        bool operator==(const Optimizing&) const = default;
    };
    struct Loading {
        bool operator==(const Loading&) const = default;
    };

    std::variant<Downloading, Optimizing, Loading> value;

    static EnginePreparation downloading(std::optional<double> fraction,
                                         std::optional<std::int64_t> bytesReceived = std::nullopt) {
        return {Downloading{fraction, bytesReceived}};
    }
    static EnginePreparation optimizing() { return {Optimizing{}}; }
    static EnginePreparation loading() { return {Loading{}}; }

    bool operator==(const EnginePreparation&) const = default;
};

// The hosted model names that the two API-key engines offer; the first of each list is the default.
namespace CloudModel {
inline constexpr std::array<std::string_view, 3> openAI{"gpt-transcribe", "gpt-4o-transcribe",
                                                        "gpt-4o-mini-transcribe"};
inline constexpr std::array<std::string_view, 2> groq{"whisper-large-v3", "whisper-large-v3-turbo"};
// The list of the given engine; empty for engines without hosted model choices.
std::span<const std::string_view> all(EngineID engine);
} // namespace CloudModel

// What an engine is given when a session begins.
struct TranscriptionConfig {
    DictationLanguage language = DictationLanguage::automatic;
    std::optional<std::string> prompt; // already trimmed; absent when empty
    std::string openAIModel;
    std::string groqModel;

    // The vocabulary prompt as a list of words and names: split at commas, Arabic commas and line breaks,
    // each piece trimmed of spaces and tabs, empty pieces dropped, order, duplicates and case kept.
    std::vector<std::string> keywords() const;

    bool operator==(const TranscriptionConfig&) const = default;
};

// What an engine session returns.
struct Transcript {
    std::string text;
    std::optional<std::string> languageCode;
    EngineID engine = EngineID::appleSpeech;

    // True when the text is empty or holds only white space.
    bool isBlank() const;

    bool operator==(const Transcript&) const = default;
};

} // namespace TessarinCore
