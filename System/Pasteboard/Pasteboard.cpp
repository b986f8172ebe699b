#include "System/Pasteboard/Pasteboard.h"

#include <algorithm>
#include <future>

namespace System::Pasteboard {

void PasteboardItem::setData(std::string_view type, Data data) {
    auto existing =
        std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.first == type; });
    if (existing != entries_.end()) {
        existing->second = std::move(data);
    } else {
        entries_.emplace_back(std::string(type), std::move(data));
    }
}

std::vector<std::string> PasteboardItem::types() const {
    std::vector<std::string> result;
    for (const auto& entry : entries_) {
        result.push_back(entry.first);
    }
    return result;
}

std::optional<Data> PasteboardItem::data(std::string_view type) const {
    auto found =
        std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e.first == type; });
    if (found == entries_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::vector<PasteboardItem> Pasteboard::contents() {
    std::promise<std::vector<PasteboardItem>> promise;
    auto future = promise.get_future();
    readContents([&promise](std::vector<PasteboardItem> items) { promise.set_value(std::move(items)); });
    return future.get();
}

} // namespace System::Pasteboard
