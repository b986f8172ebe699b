#pragma once

#include "TessarinCore/Domain/Dictation.h"
#include "TessarinCore/Domain/Hotkey.h"
#include "TessarinCore/Domain/JsonCoding.h"
#include "TessarinCore/Domain/Transcription.h"

#include <optional>
#include <string>
#include <vector>

namespace TessarinCore {

// The preferred engine for each language slot.
struct EnginePreferences {
    EngineID english = EngineID::appleSpeech;
    EngineID arabic = EngineID::tessarin;
    EngineID automatic = EngineID::tessarin;

    EngineID preferred(DictationLanguage language) const;
    void setPreferred(EngineID engine, DictationLanguage language);
    bool uses(EngineID engine) const;
    // Puts the engine into the arabic and automatic slots, except where an API-key engine already sits.
    void adopt(EngineID engine);
    // Every slot holding the engine falls back to its default.
    void drop(EngineID engine);

    bool operator==(const EnginePreferences&) const = default;
};

// Everything the user can set about dictation. Stored as JSON under "dictationSettings".
// The default constructor gives the defaults that an empty stored document decodes to.
class DictationSettings {
public:
    DictationSettings();
    DictationSettings(std::vector<HotkeyBinding> bindings, EnginePreferences engines,
                      std::optional<std::string> vocabularyPrompt, Duration releaseTail, Duration minimumHold,
                      Duration maximumRecording, InsertionMethod insertionMethod, bool restoresClipboard,
                      bool appendsTrailingSpace, std::string openAIModel, std::string groqModel);

    // The function key for English and the right Option key for Arabic.
    static const std::vector<HotkeyBinding>& defaultBindings();

    // Never empty and never two bindings of one key code: every write keeps the first binding of each
    // key code and falls back to defaultBindings() when nothing is left.
    const std::vector<HotkeyBinding>& bindings() const { return bindings_; }
    void setBindings(std::vector<HotkeyBinding> bindings);
    template <typename Edit>
    void editBindings(Edit&& edit) {
        std::vector<HotkeyBinding> edited = bindings_;
        edit(edited);
        setBindings(std::move(edited));
    }

    EnginePreferences engines;
    std::optional<std::string> vocabularyPrompt; // as the user wrote it
    Duration releaseTail;
    Duration minimumHold;
    Duration maximumRecording;
    InsertionMethod insertionMethod = InsertionMethod::paste;
    bool restoresClipboard = true;
    bool appendsTrailingSpace = true;
    std::string openAIModel; // stored under "cloudModel"
    std::string groqModel;

    std::vector<Hotkey> hotkeys() const;
    // The language of the first binding with the hotkey's key code; automatic when none matches.
    DictationLanguage language(const Hotkey& hotkey) const;
    TranscriptionConfig transcriptionConfig(DictationLanguage language) const;
    // The hosted model name of an API-key engine; nothing for the others.
    std::optional<std::string> model(EngineID engine) const;
    void setModel(std::string model, EngineID engine);

    bool operator==(const DictationSettings&) const = default;

private:
    std::vector<HotkeyBinding> bindings_;
};

void to_json(nlohmann::json& json, const EnginePreferences& preferences);
void from_json(const nlohmann::json& json, EnginePreferences& preferences);
// Fails with a DecodingError naming the key on a wrong type, an unknown raw value or a missing required
// key; never yields partial settings. Documents of earlier versions ("hotkeys", "language") are read
// when "bindings" is absent.
void to_json(nlohmann::json& json, const DictationSettings& settings);
void from_json(const nlohmann::json& json, DictationSettings& settings);

} // namespace TessarinCore
