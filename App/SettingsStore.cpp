#include "App/SettingsStore.h"

#include "System/Log/ErrorDescription.h"
#include "System/Log/Logger.h"

namespace Parlindo {

using namespace TessarinCore;
using System::Log::errorDescription;
using System::Log::Public;

namespace {

const System::Log::Logger logger{"com.tessarin.Tessarin", "App"};

std::optional<DictationSettings> decode(const nlohmann::json& value) {
    try {
        return value.get<DictationSettings>();
    } catch (const std::exception&) {
        return std::nullopt;
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
    if (const auto stored = defaults_->value(key_)) {
        if (auto settings = decode(*stored)) {
            return std::move(*settings);
        }
    }
    return defaultSettings();
}

void SettingsStore::save(const DictationSettings& settings) const {
    nlohmann::json encoded;
    try {
        encoded = settings;
    } catch (...) {
        return;
    }
    if (!keepUnreadableValueAside()) {
        return;
    }
    try {
        defaults_->set(key_, std::move(encoded));
    } catch (...) {
        logger.error("The settings couldn't be saved: {}",
                     Public(errorDescription(std::current_exception())));
    }
}

bool SettingsStore::keepUnreadableValueAside() const {
    const auto stored = defaults_->value(key_);
    if (!stored || decode(*stored)) {
        return true;
    }
    std::string aside = key_ + ".unreadable";
    for (int number = 2; defaults_->value(aside); ++number) {
        aside = key_ + ".unreadable-" + std::to_string(number);
    }
    try {
        defaults_->set(aside, *stored);
    } catch (...) {
        logger.error(
            "The stored settings can't be read and couldn't be kept aside, so they were left as they "
            "are and the new settings were not saved: {}",
            Public(errorDescription(std::current_exception())));
        return false;
    }
    logger.error("The stored settings couldn't be read; kept them under {} before saving new ones",
                 Public(aside));
    return true;
}

} // namespace Parlindo
