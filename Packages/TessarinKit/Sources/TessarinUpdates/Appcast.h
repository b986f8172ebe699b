#pragma once

#include "System/Log/ErrorDescription.h"

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace TessarinUpdates {

// One release offered by the update feed.
struct AppcastItem {
    std::string title;
    std::string version;      // compared with the running version
    std::string downloadPage; // an http or https address, opened in the browser

    bool operator==(const AppcastItem&) const = default;
};

// The update feed could not be read.
class AppcastError : public System::Log::DescribedError {
public:
    using DescribedError::DescribedError;
};

// Reads an RSS 2.0 update feed. Each <item> with a "version" element (in any namespace) and an http or https
// download page (its <link>, else the url of its <enclosure>) is one release; other items are skipped, since
// they offer nothing the user could get. Throws AppcastError when the document is not well-formed XML or is
// not an RSS document.
std::vector<AppcastItem> parseAppcast(std::string_view document);

// The release with the highest version; the first of equal ones. Nothing for an empty list.
std::optional<AppcastItem> newestItem(const std::vector<AppcastItem>& items);

} // namespace TessarinUpdates
