#pragma once

#include "System/Defaults/UserDefaults.h"
#include "TessarinCore/Domain/DictationSettings.h"

#include <memory>
#include <string>

namespace Parlindo {

// Keeps the dictation settings as JSON under one key of the user's defaults.
class SettingsStore {
public:
    SettingsStore(std::string key, std::shared_ptr<System::Defaults::UserDefaults> defaults);

    // The stored settings; the defaults when nothing is stored or the stored value can't be read. Reading
    // changes nothing in the defaults.
    TessarinCore::DictationSettings load() const;
    // Stores `settings` in place of what was there. A stored value that can't be read as settings is first
    // kept aside under "<key>.unreadable" (numbered when that is taken), so the user's earlier settings are
    // never overwritten unseen; when it can't be kept aside, nothing is saved. Failures are logged, never
    // thrown.
    void save(const TessarinCore::DictationSettings& settings) const;

    // What a first run starts with.
    static TessarinCore::DictationSettings defaultSettings();

    const std::string& key() const { return key_; }

private:
    // True when nothing is stored under the key or it was kept aside.
    bool keepUnreadableValueAside() const;

    std::string key_;
    std::shared_ptr<System::Defaults::UserDefaults> defaults_;
};

} // namespace Parlindo
