#pragma once

#include "System/Log/ErrorDescription.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace System::Defaults {

// A change to the defaults that could not be saved. The defaults keep what they held before the change.
class DefaultsError : public System::Log::DescribedError {
public:
    using DescribedError::DescribedError;
};

// The user's defaults: JSON values under string keys, kept in one JSON object in one file. The file is read
// once, at construction, and rewritten whole after every change, atomically, so that a crash leaves either
// the old or the new document. A document that cannot be read or is not a JSON object is moved aside (to a
// name with ".unreadable-" and a time stamp) and the defaults start empty; when it cannot be moved aside, the
// defaults refuse every change rather than overwrite it. Safe to use from any thread.
class UserDefaults {
public:
    // Defaults that live only in memory (tests, and callers that must not touch the user's files).
    UserDefaults();
    // Defaults kept in `file`; its folder is created (mode 0700) at the first change.
    explicit UserDefaults(std::filesystem::path file);
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The application's defaults: "defaults.json" in the "parlindo" folder of the XDG config home.
    static std::shared_ptr<UserDefaults> standard();
    static std::filesystem::path standardFile();

    // The stored value, or nothing when the key is absent.
    std::optional<nlohmann::json> value(const std::string& key) const;
    // The stored value as T, or nothing when the key is absent or its value is not a T.
    template <class T>
    std::optional<T> get(const std::string& key) const {
        auto stored = value(key);
        if (!stored) {
            return std::nullopt;
        }
        try {
            return stored->get<T>();
        } catch (const nlohmann::json::exception&) {
            return std::nullopt;
        }
    }

    // Store `value` under `key` and save the document; throws DefaultsError when it cannot be saved.
    void set(const std::string& key, nlohmann::json value);
    // Remove `key` and save the document; removing an absent key changes nothing and saves nothing.
    void remove(const std::string& key);

    // The file behind these defaults; nothing for in-memory defaults.
    const std::optional<std::filesystem::path>& file() const { return file_; }

private:
    void load();
    void save(const nlohmann::json& document); // with mutex_ held

    std::optional<std::filesystem::path> file_;
    mutable std::mutex mutex_;
    nlohmann::json document_ = nlohmann::json::object();
    // Why changes are refused: the unreadable document could not be moved out of the way.
    std::optional<std::string> refusal_;
};

} // namespace System::Defaults
