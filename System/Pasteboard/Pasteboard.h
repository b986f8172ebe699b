#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace System::Pasteboard {

// The bytes of one representation.
using Data = std::string;

// The type of plain text (UTF-8).
inline constexpr std::string_view stringType = "UTF8_STRING";

// One thing on the pasteboard, held in one or more representations (types), in the order they were set.
class PasteboardItem {
public:
    // Replaces the data of a type already present, keeping its place.
    void setData(std::string_view type, Data data);
    void setString(std::string_view text) { setData(stringType, Data(text)); }

    std::vector<std::string> types() const;
    std::optional<Data> data(std::string_view type) const;
    const std::vector<std::pair<std::string, Data>>& entries() const { return entries_; }

    bool operator==(const PasteboardItem&) const = default;

private:
    std::vector<std::pair<std::string, Data>> entries_;
};

// Whether the user lets applications read the pasteboard without asking.
enum class AccessBehavior { standard = 0, ask = 1, alwaysAllow = 2, alwaysDeny = 3 };

// The system clipboard. Every operation may be called from any thread.
class Pasteboard {
public:
    virtual ~Pasteboard() = default;

    virtual AccessBehavior accessBehavior() = 0;
    // Grows whenever the contents change, by this process or any other.
    virtual std::int64_t changeCount() = 0;
    // Replaces the contents with these items (none leaves the pasteboard empty) and answers the change count
    // that this write produced. Throws PasteboardError (writeRefused) when the clipboard could not be taken;
    // the contents and the change count are then as they were.
    virtual std::int64_t setContents(std::vector<PasteboardItem> items) = 0;
    // Reads the contents (empty when there are none) and hands them to `done`, once, on a thread of the
    // pasteboard's choosing. Reading may wait on the application that owns the contents, so callers that
    // must not block take this path.
    virtual void readContents(std::function<void(std::vector<PasteboardItem>)> done) = 0;

    // Reads the contents and waits for them. Never call it from inside a `readContents` callback.
    std::vector<PasteboardItem> contents();
};

} // namespace System::Pasteboard
