#pragma once

#include "System/Defaults/UserDefaults.h"
#include "TessarinCore/Domain/DictationSettings.h"

#include <memory>
#include <optional>
#include <string>

namespace Parlindo {

// Keeps the dictation settings as JSON under one key of the user's defaults.
class SettingsStore {
public:
    SettingsStore(std::string key, std::shared_ptr<System::Defaults::UserDefaults> defaults);

    // The stored settings; the defaults when nothing is stored or the stored value can't be read, which is
    // logged. Reading changes nothing in the defaults.
    TessarinCore::DictationSettings load() const;
    // Stores `settings` in place of what was there. Before a stored value that can't be read as settings is
    // replaced, a copy of the defaults file holding it is kept beside that file and named in the log, so the
    // user's earlier settings are never overwritten unseen; when the copy can't be made, nothing is saved.
    // Failures are logged, never thrown; the description of one is returned, nothing after a save.
    std::optional<std::string> save(const TessarinCore::DictationSettings& settings) const;

    // What a first run starts with.
    static TessarinCore::DictationSettings defaultSettings();

    const std::string& key() const { return key_; }

private:
    // Nothing when nothing unreadable is stored under the key or a copy of it was kept; else why not.
    std::optional<std::string> keepUnreadableValueAside() const;

    std::string key_;
    std::shared_ptr<System::Defaults::UserDefaults> defaults_;
};

} // namespace Parlindo
