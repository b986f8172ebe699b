#include "App/SettingsStore.h"

#include "System/Log/ErrorDescription.h"
#include "System/Log/Logger.h"

namespace Parlindo {

using namespace TessarinCore;
using System::Log::errorDescription;
using System::Log::Public;

namespace {

const System::Log::Logger logger{"com.tessarin.Tessarin", "App"};

// The settings, or why the stored value isn't settings.
struct Decoded {
    std::optional<DictationSettings> settings;
    std::string problem;
};

Decoded decode(const nlohmann::json& value) {
    try {
        return {value.get<DictationSettings>(), {}};
    } catch (...) {
        return {std::nullopt, errorDescription(std::current_exception())};
    }
}

} // namespace

SettingsStore::SettingsStore(std::string key, std::shared_ptr<System::Defaults::UserDefaults> defaults)
    : key_(std::move(key))
    , defaults_(std::move(defaults)) {}

DictationSettings SettingsStore::defaultSettings() {
    return DictationSettings(DictationSettings::defaultBindings(),
                             EnginePreferences{EngineID::appleSpeech, EngineID::tessarin, EngineID::tessarin},
                             std::nullopt, Duration::milliseconds(100), Duration::milliseconds(150),
                             Duration::seconds(std::int64_t{300}), InsertionMethod::paste, true, true,
                             std::string(CloudModel::openAI.front()), std::string(CloudModel::groq.front()));
}

DictationSettings SettingsStore::load() const {
    const auto stored = defaults_->value(key_);
    if (!stored) {
        return defaultSettings();
    }
    auto decoded = decode(*stored);
    if (decoded.settings) {
        return std::move(*decoded.settings);
    }
    if (const auto& file = defaults_->file()) {
        logger.error(
            "The settings stored under {} in {} can't be read ({}); using the defaults until the next "
            "change, which first keeps a copy of that file",
            Public(key_), Public(file->string()), Public(decoded.problem));
    } else {
        logger.error("The settings stored under {} can't be read ({}); using the defaults", Public(key_),
                     Public(decoded.problem));
    }
    return defaultSettings();
}

std::optional<std::string> SettingsStore::save(const DictationSettings& settings) const {
    nlohmann::json encoded;
    try {
        encoded = settings;
    } catch (...) {
        return errorDescription(std::current_exception());
    }
    if (auto problem = keepUnreadableValueAside()) {
        return problem;
    }
    try {
        defaults_->set(key_, std::move(encoded));
    } catch (...) {
        const std::string description = errorDescription(std::current_exception());
        logger.error("The settings couldn't be saved: {}", Public(description));
        return description;
    }
    return std::nullopt;
}

std::optional<std::string> SettingsStore::keepUnreadableValueAside() const {
    const auto stored = defaults_->value(key_);
    if (!stored || decode(*stored).settings) {
        return std::nullopt;
    }
    std::optional<std::filesystem::path> copy;
    try {
        copy = defaults_->keepCopy();
    } catch (...) {
        const std::string description = errorDescription(std::current_exception());
        logger.error(
            "The stored settings can't be read and no copy of them could be kept, so they were left as they "
            "are and the new settings were not saved: {}",
            Public(description));
        return description;
    }
    if (copy) {
        logger.error(
            "The stored settings couldn't be read; kept a copy of the file holding them as {} before "
            "saving new ones",
            Public(copy->string()));
    }
    return std::nullopt;
}

} // namespace Parlindo
