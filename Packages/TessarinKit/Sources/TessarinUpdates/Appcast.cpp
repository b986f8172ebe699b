#include "TessarinUpdates/Appcast.h"

#include "TessarinCore/Domain/Version.h"

#include <expat.h>

#include <limits>
#include <memory>

namespace TessarinUpdates {

namespace {

// With namespace processing on, expat names an element "<namespace URI> <local name>".
std::string_view localName(const XML_Char* name) {
    std::string_view full(name);
    const auto separator = full.rfind(' ');
    return separator == std::string_view::npos ? full : full.substr(separator + 1);
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool isWebAddress(const std::string& address) {
    const auto scheme = address.substr(0, address.find(':'));
    std::string lower;
    for (const char c : scheme) {
        lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return (lower == "http" || lower == "https") && address.compare(scheme.size(), 3, "://") == 0 &&
           address.size() > scheme.size() + 3 && address.find_first_of(" \t\r\n") == std::string::npos;
}

struct Reader {
    std::vector<std::string> path; // local names of the open elements
    bool sawRoot = false;
    bool isRSS = false;
    // The item being read: its depth in `path` and the texts and enclosure of its children.
    std::optional<std::size_t> itemDepth;
    std::string title, version, link, enclosure;
    std::string text;
    std::vector<AppcastItem> items;

    void start(std::string_view name, const XML_Char** attributes) {
        if (!sawRoot) {
            sawRoot = true;
            isRSS = name == "rss";
        }
        path.emplace_back(name);
        text.clear();
        if (!itemDepth && name == "item") {
            itemDepth = path.size();
            title.clear(), version.clear(), link.clear(), enclosure.clear();
        } else if (itemDepth && path.size() == *itemDepth + 1 && name == "enclosure") {
            for (auto attribute = attributes; *attribute != nullptr; attribute += 2) {
                if (localName(attribute[0]) == "url") {
                    enclosure = trimmed(attribute[1]);
                }
            }
        }
    }

    void end() {
        if (itemDepth && path.size() == *itemDepth + 1) {
            const std::string& name = path.back();
            if (name == "title") {
                title = trimmed(text);
            } else if (name == "version") {
                version = trimmed(text);
            } else if (name == "link") {
                link = trimmed(text);
            }
        } else if (itemDepth && path.size() == *itemDepth) {
            finishItem();
            itemDepth.reset();
        }
        path.pop_back();
        text.clear();
    }

    void finishItem() {
        const std::string& page = isWebAddress(link) ? link : enclosure;
        if (!version.empty() && isWebAddress(page)) {
            items.push_back({title, version, page});
        }
    }
};

} // namespace

std::vector<AppcastItem> parseAppcast(std::string_view document) {
    std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreateNS(nullptr, ' '),
                                                                        &XML_ParserFree);
    if (!parser) {
        throw AppcastError("The update feed couldn't be read: out of memory.");
    }
    if (document.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw AppcastError("The update feed is too large.");
    }
    Reader reader;
    XML_SetUserData(parser.get(), &reader);
    XML_SetElementHandler(
        parser.get(),
        [](void* data, const XML_Char* name, const XML_Char** attributes) {
            static_cast<Reader*>(data)->start(localName(name), attributes);
        },
        [](void* data, const XML_Char*) { static_cast<Reader*>(data)->end(); });
    XML_SetCharacterDataHandler(parser.get(), [](void* data, const XML_Char* text, int length) {
        static_cast<Reader*>(data)->text.append(text, static_cast<std::size_t>(length));
    });
    if (XML_Parse(parser.get(), document.data(), static_cast<int>(document.size()), XML_TRUE) ==
        XML_STATUS_ERROR) {
        throw AppcastError("The update feed isn't valid XML: " +
                           std::string(XML_ErrorString(XML_GetErrorCode(parser.get()))) + " at line " +
                           std::to_string(XML_GetCurrentLineNumber(parser.get())) + ".");
    }
    if (!reader.isRSS) {
        throw AppcastError("The update feed isn't an RSS feed.");
    }
    return reader.items;
}

std::optional<AppcastItem> newestItem(const std::vector<AppcastItem>& items) {
    std::optional<AppcastItem> newest;
    for (const auto& item : items) {
        if (!newest || TessarinCore::isVersion(newest->version, item.version)) {
            newest = item;
        }
    }
    return newest;
}

} // namespace TessarinUpdates
