#include "System/Net/Url.h"

#include <curl/curl.h>

#include <memory>

namespace System::Net {

namespace {

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;

struct CurlText {
    char* text = nullptr;
    ~CurlText() { curl_free(text); }
};

// Parses an absolute URL with any scheme; nothing when it is not one.
UrlHandle parseAbsolute(std::string_view text) {
    UrlHandle url(curl_url());
    if (!url || text.find('\0') != std::string_view::npos) {
        return nullptr;
    }
    const std::string copy(text);
    if (curl_url_set(url.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return nullptr;
    }
    CurlText host;
    if (curl_url_get(url.get(), CURLUPART_HOST, &host.text, 0) != CURLUE_OK || host.text == nullptr ||
        *host.text == '\0') {
        return nullptr;
    }
    return url;
}

} // namespace

std::string percentEncode(std::string_view text, std::string_view alsoKeep) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
                                byte == '~';
        if (unreserved || (byte < 0x80 && alsoKeep.find(c) != std::string_view::npos)) {
            encoded.push_back(c);
        } else {
            encoded.push_back('%');
            encoded.push_back(hex[byte >> 4]);
            encoded.push_back(hex[byte & 0x0F]);
        }
    }
    return encoded;
}

std::optional<std::string> appendingPath(std::string_view base, std::string_view path) {
    const std::size_t separator = base.find("://");
    if (!parseAbsolute(base) || separator == std::string_view::npos) {
        return std::nullopt;
    }
    // Joined as text, not rebuilt by the parser, which would rewrite the percent-escapes of the path.
    const std::size_t authority = separator + 3;
    const std::size_t pathEnd = std::min(base.find_first_of("?#", authority), base.size());
    std::string joined(base.substr(0, pathEnd));
    while (joined.size() > authority && joined.back() == '/') {
        joined.pop_back();
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) {
            joined += '/';
            joined += path.substr(start, end - start);
        }
        start = end + 1;
    }
    joined += base.substr(pathEnd);
    return joined;
}

bool isAbsoluteURL(std::string_view text) {
    return parseAbsolute(text) != nullptr;
}

std::optional<std::string> resolvingReference(std::string_view base, std::string_view reference) {
    UrlHandle url = parseAbsolute(base);
    if (!url || reference.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    // A handle that holds a URL resolves a relative one set into it against that URL.
    const std::string copy(reference);
    if (curl_url_set(url.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    CurlText resolved;
    if (curl_url_get(url.get(), CURLUPART_URL, &resolved.text, 0) != CURLUE_OK || resolved.text == nullptr) {
        return std::nullopt;
    }
    return std::string(resolved.text);
}

} // namespace System::Net
