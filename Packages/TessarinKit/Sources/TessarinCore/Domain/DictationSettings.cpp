#include "TessarinCore/Domain/DictationSettings.h"

#include "TessarinCore/Domain/Unicode.h"

#include <algorithm>
#include <unordered_set>

namespace TessarinCore {

namespace {

const EnginePreferences defaultEngines{};
const Duration defaultReleaseTail = Duration::milliseconds(100);
const Duration defaultMinimumHold = Duration::milliseconds(150);
const Duration defaultMaximumRecording = Duration::seconds(std::int64_t{300});

std::vector<HotkeyBinding> sanitized(std::vector<HotkeyBinding> bindings) {
    std::unordered_set<std::uint16_t> seen;
    std::erase_if(bindings, [&](const HotkeyBinding& binding) { return !seen.insert(binding.id()).second; });
    if (bindings.empty()) {
        return DictationSettings::defaultBindings();
    }
    return bindings;
}

bool isWhiteSpaceOrNewline(char32_t c) {
    return c == U'\t' || (c >= U'\n' && c <= U'\r') || c == U'\u0085' || Unicode::isSpaceSeparator(c) ||
           Unicode::isLineOrParagraphSeparator(c);
}

// Documents of earlier versions held one language and a plain list of keys.
std::optional<std::vector<HotkeyBinding>> legacyBindings(const nlohmann::json& json) {
    const auto hotkeys = Json::decodeIfPresent<std::vector<Hotkey>>(json, "hotkeys");
    const auto language = Json::decodeIfPresent<DictationLanguage>(json, "language");
    if (!hotkeys && !language) {
        return std::nullopt;
    }
    const std::vector<Hotkey> keys =
        hotkeys.value_or(std::vector<Hotkey>{Hotkey::function(), Hotkey::rightOption()});
    std::vector<HotkeyBinding> bindings;
    for (const Hotkey& key : keys) {
        bindings.push_back({key, language.value_or(DictationLanguage::automatic)});
    }
    return bindings;
}

} // namespace

EngineID EnginePreferences::preferred(DictationLanguage language) const {
    switch (language) {
    case DictationLanguage::english:
        return english;
    case DictationLanguage::arabic:
        return arabic;
    case DictationLanguage::automatic:
        break;
    }
    return automatic;
}

void EnginePreferences::setPreferred(EngineID engine, DictationLanguage language) {
    switch (language) {
    case DictationLanguage::english:
        english = engine;
        return;
    case DictationLanguage::arabic:
        arabic = engine;
        return;
    case DictationLanguage::automatic:
        automatic = engine;
        return;
    }
}

bool EnginePreferences::uses(EngineID engine) const {
    return english == engine || arabic == engine || automatic == engine;
}

void EnginePreferences::adopt(EngineID engine) {
    const auto isAPIKeyEngine = [](EngineID slot) {
        return std::find(apiKeyEngines.begin(), apiKeyEngines.end(), slot) != apiKeyEngines.end();
    };
    if (!isAPIKeyEngine(arabic)) {
        arabic = engine;
    }
    if (!isAPIKeyEngine(automatic)) {
        automatic = engine;
    }
}

void EnginePreferences::drop(EngineID engine) {
    if (english == engine) {
        english = defaultEngines.english;
    }
    if (arabic == engine) {
        arabic = defaultEngines.arabic;
    }
    if (automatic == engine) {
        automatic = defaultEngines.automatic;
    }
}

DictationSettings::DictationSettings()
    : DictationSettings(defaultBindings(), defaultEngines, std::nullopt, defaultReleaseTail,
                        defaultMinimumHold, defaultMaximumRecording, InsertionMethod::paste, true, true,
                        std::string(CloudModel::openAI.front()), std::string(CloudModel::groq.front())) {}

DictationSettings::DictationSettings(std::vector<HotkeyBinding> bindings, EnginePreferences engines,
                                     std::optional<std::string> vocabularyPrompt, Duration releaseTail,
                                     Duration minimumHold, Duration maximumRecording,
                                     InsertionMethod insertionMethod, bool restoresClipboard,
                                     bool appendsTrailingSpace, std::string openAIModel,
                                     std::string groqModel)
    : engines(engines)
    , vocabularyPrompt(std::move(vocabularyPrompt))
    , releaseTail(releaseTail)
    , minimumHold(minimumHold)
    , maximumRecording(maximumRecording)
    , insertionMethod(insertionMethod)
    , restoresClipboard(restoresClipboard)
    , appendsTrailingSpace(appendsTrailingSpace)
    , openAIModel(std::move(openAIModel))
    , groqModel(std::move(groqModel))
    , bindings_(sanitized(std::move(bindings))) {}

const std::vector<HotkeyBinding>& DictationSettings::defaultBindings() {
    static const std::vector<HotkeyBinding> bindings{{Hotkey::function(), DictationLanguage::english},
                                                     {Hotkey::rightOption(), DictationLanguage::arabic}};
    return bindings;
}

void DictationSettings::setBindings(std::vector<HotkeyBinding> bindings) {
    bindings_ = sanitized(std::move(bindings));
}

std::vector<Hotkey> DictationSettings::hotkeys() const {
    std::vector<Hotkey> keys;
    keys.reserve(bindings_.size());
    for (const HotkeyBinding& binding : bindings_) {
        keys.push_back(binding.hotkey);
    }
    return keys;
}

DictationLanguage DictationSettings::language(const Hotkey& hotkey) const {
    for (const HotkeyBinding& binding : bindings_) {
        if (binding.hotkey.keyCode == hotkey.keyCode) {
            return binding.language;
        }
    }
    return DictationLanguage::automatic;
}

TranscriptionConfig DictationSettings::transcriptionConfig(DictationLanguage language) const {
    std::optional<std::string> prompt;
    if (vocabularyPrompt) {
        const std::string_view trimmed = Unicode::trim(*vocabularyPrompt, isWhiteSpaceOrNewline);
        if (!trimmed.empty()) {
            prompt = std::string(trimmed);
        }
    }
    return TranscriptionConfig{language, std::move(prompt), openAIModel, groqModel};
}

std::optional<std::string> DictationSettings::model(EngineID engine) const {
    switch (engine) {
    case EngineID::openAI:
        return openAIModel;
    case EngineID::groq:
        return groqModel;
    default:
        return std::nullopt;
    }
}

void DictationSettings::setModel(std::string model, EngineID engine) {
    if (engine == EngineID::openAI) {
        openAIModel = std::move(model);
    } else if (engine == EngineID::groq) {
        groqModel = std::move(model);
    }
}

void to_json(nlohmann::json& json, const EnginePreferences& preferences) {
    json = nlohmann::json{{"english", preferences.english},
                          {"arabic", preferences.arabic},
                          {"automatic", preferences.automatic}};
}

void from_json(const nlohmann::json& json, EnginePreferences& preferences) {
    Json::requireObject(json);
    preferences.english = Json::decodeRequired<EngineID>(json, "english");
    preferences.arabic = Json::decodeRequired<EngineID>(json, "arabic");
    preferences.automatic = Json::decodeRequired<EngineID>(json, "automatic");
}

void to_json(nlohmann::json& json, const DictationSettings& settings) {
    json = nlohmann::json::object();
    json["bindings"] = settings.bindings();
    json["engines"] = settings.engines;
    if (settings.vocabularyPrompt) {
        json["vocabularyPrompt"] = *settings.vocabularyPrompt;
    }
    json["releaseTail"] = settings.releaseTail;
    json["minimumHold"] = settings.minimumHold;
    json["maximumRecording"] = settings.maximumRecording;
    json["insertionMethod"] = settings.insertionMethod;
    json["restoresClipboard"] = settings.restoresClipboard;
    json["appendsTrailingSpace"] = settings.appendsTrailingSpace;
    json["groqModel"] = settings.groqModel;
    json["cloudModel"] = settings.openAIModel;
}

void from_json(const nlohmann::json& json, DictationSettings& settings) {
    Json::requireObject(json);
    // Decoded into locals first, so a failure part-way leaves the caller's settings untouched.
    std::optional<std::vector<HotkeyBinding>> bindings =
        Json::decodeIfPresent<std::vector<HotkeyBinding>>(json, "bindings");
    if (!bindings) {
        bindings = legacyBindings(json);
    }
    auto engines = Json::decodeIfPresent<EnginePreferences>(json, "engines");
    auto vocabularyPrompt = Json::decodeIfPresent<std::string>(json, "vocabularyPrompt");
    auto releaseTail = Json::decodeIfPresent<Duration>(json, "releaseTail");
    auto minimumHold = Json::decodeIfPresent<Duration>(json, "minimumHold");
    auto maximumRecording = Json::decodeIfPresent<Duration>(json, "maximumRecording");
    auto insertionMethod = Json::decodeIfPresent<InsertionMethod>(json, "insertionMethod");
    auto restoresClipboard = Json::decodeIfPresent<bool>(json, "restoresClipboard");
    auto appendsTrailingSpace = Json::decodeIfPresent<bool>(json, "appendsTrailingSpace");
    auto openAIModel = Json::decodeIfPresent<std::string>(json, "cloudModel");
    auto groqModel = Json::decodeIfPresent<std::string>(json, "groqModel");

    settings = DictationSettings(
        bindings.value_or(DictationSettings::defaultBindings()), engines.value_or(defaultEngines),
        std::move(vocabularyPrompt), releaseTail.value_or(defaultReleaseTail),
        minimumHold.value_or(defaultMinimumHold), maximumRecording.value_or(defaultMaximumRecording),
        insertionMethod.value_or(InsertionMethod::paste), restoresClipboard.value_or(true),
        appendsTrailingSpace.value_or(true), openAIModel.value_or(std::string(CloudModel::openAI.front())),
        groqModel.value_or(std::string(CloudModel::groq.front())));
}

} // namespace TessarinCore
