#include "TessarinCore/Domain/Hotkey.h"

#include "TessarinCore/Domain/JsonCoding.h"

namespace TessarinCore {

const Hotkey& Hotkey::function() {
    static const Hotkey key{63, "fn \U0001F310"};
    return key;
}

const Hotkey& Hotkey::rightOption() {
    static const Hotkey key{61, "Right \u2325"};
    return key;
}

const Hotkey& Hotkey::rightCommand() {
    static const Hotkey key{54, "Right \u2318"};
    return key;
}

const Hotkey& Hotkey::rightControl() {
    static const Hotkey key{62, "Right \u2303"};
    return key;
}

const Hotkey& Hotkey::rightShift() {
    static const Hotkey key{60, "Right \u21E7"};
    return key;
}

const std::vector<Hotkey>& Hotkey::supported() {
    static const std::vector<Hotkey> keys{function(), rightOption(), rightCommand(), rightControl(),
                                          rightShift()};
    return keys;
}

void to_json(nlohmann::json& json, const Hotkey& hotkey) {
    json = nlohmann::json{{"keyCode", hotkey.keyCode}, {"displayName", hotkey.displayName}};
}

void from_json(const nlohmann::json& json, Hotkey& hotkey) {
    Json::requireObject(json);
    const auto keyCode = Json::withPathComponent("keyCode", [&] {
        if (!json.contains("keyCode")) {
            throw DecodingError({}, "the key is missing");
        }
        return Json::decodeInteger<std::uint16_t>(json.at("keyCode"));
    });
    for (const Hotkey& supported : Hotkey::supported()) {
        if (supported.keyCode == keyCode) {
            // The stored name of a supported key is not read: it may be an older wording.
            hotkey = supported;
            return;
        }
    }
    const std::optional<std::string> storedName = Json::decodeIfPresent<std::string>(json, "displayName");
    hotkey = Hotkey{keyCode, storedName ? *storedName : "Key " + std::to_string(keyCode)};
}

void to_json(nlohmann::json& json, const HotkeyBinding& binding) {
    json = nlohmann::json{{"hotkey", binding.hotkey}, {"language", binding.language}};
}

void from_json(const nlohmann::json& json, HotkeyBinding& binding) {
    Json::requireObject(json);
    binding.hotkey = Json::decodeRequired<Hotkey>(json, "hotkey");
    binding.language = Json::decodeRequired<DictationLanguage>(json, "language");
}

} // namespace TessarinCore

namespace {
std::size_t combine(std::size_t seed, std::size_t value) {
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}
} // namespace

std::size_t std::hash<TessarinCore::Hotkey>::operator()(const TessarinCore::Hotkey& hotkey) const noexcept {
    return combine(std::hash<std::uint16_t>{}(hotkey.keyCode), std::hash<std::string>{}(hotkey.displayName));
}

std::size_t std::hash<TessarinCore::HotkeyBinding>::operator()(
    const TessarinCore::HotkeyBinding& binding) const noexcept {
    return combine(std::hash<TessarinCore::Hotkey>{}(binding.hotkey),
                   std::hash<std::string_view>{}(TessarinCore::rawValue(binding.language)));
}
