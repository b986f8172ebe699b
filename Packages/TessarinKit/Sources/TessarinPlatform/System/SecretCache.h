#pragma once

#include "TessarinCore/Ports/SecretStore.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace TessarinPlatform {

// The values a secret store knows to be stored. Each access holds the lock only for the map itself, never
// across a keychain or file operation. Safe from any thread.
class SecretCache {
public:
    std::optional<std::string> value(TessarinCore::SecretKey key) const {
        std::lock_guard lock(mutex_);
        const auto found = values_.find(key);
        return found == values_.end() ? std::nullopt : std::optional(found->second);
    }
    void set(TessarinCore::SecretKey key, std::string value) {
        std::lock_guard lock(mutex_);
        values_[key] = std::move(value);
    }
    void erase(TessarinCore::SecretKey key) {
        std::lock_guard lock(mutex_);
        values_.erase(key);
    }

private:
    mutable std::mutex mutex_;
    std::map<TessarinCore::SecretKey, std::string> values_;
};

} // namespace TessarinPlatform
