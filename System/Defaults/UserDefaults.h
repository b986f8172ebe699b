#pragma once

#include "System/Log/ErrorDescription.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace System::Defaults {

// A change to the defaults that could not be saved, or a copy that could not be kept. The defaults keep what
// they held before.
class DefaultsError : public System::Log::DescribedError {
public:
    using DescribedError::DescribedError;
};

// The user's defaults: JSON values under string keys, kept in one JSON object in one file. The file is read
// once, at construction, and rewritten whole after every change, atomically, so that a crash leaves either
// the old or the new document. A document that cannot be read, is not a JSON object or nests deeper than
// kMaxDepth is moved aside (to a name with ".unreadable-" and a time stamp) and the defaults start empty;
// when it cannot be moved aside, the defaults refuse every change rather than overwrite it. Safe to use from
// any thread.
class UserDefaults {
public:
    // The deepest nesting of arrays and objects a document may have, itself included. Real settings nest a
    // handful of levels; the limit keeps every copy, comparison and save of a value well inside the stack
    // and keeps the saved text proportional to what was stored.
    static constexpr std::size_t kMaxDepth = 32;

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

    // Store `value` under `key` and save the document; throws DefaultsError when it cannot be saved, or
    // when the value nests too deeply to be read back.
    void set(const std::string& key, nlohmann::json value);
    // Remove `key` and save the document; removing an absent key changes nothing and saves nothing.
    void remove(const std::string& key);

    // Keeps a byte-for-byte copy of the file as it stands beside it, under a fresh ".unreadable-" name,
    // for a caller about to replace a value it cannot read. The copy's path; nothing for in-memory defaults
    // or while no file exists. Throws DefaultsError when the copy cannot be made.
    std::optional<std::filesystem::path> keepCopy() const;

    // The file behind these defaults; nothing for in-memory defaults.
    const std::optional<std::filesystem::path>& file() const { return file_; }

    // The stored form. `readDocument` gives the document in `text`, or throws DefaultsError naming the
    // problem when it is not JSON, not an object or nested deeper than kMaxDepth. `documentText` writes one
    // key to a line with each value compact, so the text stays within a small multiple of the values'
    // own size; throws DefaultsError when a text is not valid UTF-8.
    static nlohmann::json readDocument(std::string_view text);
    static std::string documentText(const nlohmann::json& document);

private:
    void load();
    void save() const; // with mutex_ held

    std::optional<std::filesystem::path> file_;
    mutable std::mutex mutex_;
    nlohmann::json document_ = nlohmann::json::object();
    // Why changes are refused: the unreadable document could not be moved out of the way.
    std::optional<std::string> refusal_;
};

} // namespace System::Defaults
