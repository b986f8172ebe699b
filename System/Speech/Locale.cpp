#include "System/Speech/Locale.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace System::Speech {

namespace {
std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}
std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}
} // namespace

Locale::Locale(std::string identifier)
    : identifier_(std::move(identifier)) {
    std::replace(identifier_.begin(), identifier_.end(), '_', '-');
}

std::optional<Locale> Locale::fromPosix(const std::string& name) {
    std::string base = name.substr(0, name.find_first_of(".@"));
    if (base.empty() || base == "C" || base == "POSIX") {
        return std::nullopt;
    }
    const auto separator = base.find_first_of("_-");
    if (separator == std::string::npos) {
        return Locale(lower(base));
    }
    return Locale(lower(base.substr(0, separator)) + "-" + upper(base.substr(separator + 1)));
}

Locale Locale::current() {
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) {
            // The first variable that is set decides, as for the C library.
            return fromPosix(value).value_or(Locale("en-US"));
        }
    }
    return Locale("en-US");
}

std::string Locale::languageCode() const {
    return lower(identifier_.substr(0, identifier_.find('-')));
}

std::optional<std::string> Locale::regionCode() const {
    const auto separator = identifier_.find('-');
    if (separator == std::string::npos) {
        return std::nullopt;
    }
    return upper(identifier_.substr(separator + 1));
}

} // namespace System::Speech
