#include "System/Net/HttpHeaders.h"

#include "System/Net/NetErrors.h"

#include <algorithm>
#include <cctype>

namespace System::Net {

bool sameHeaderName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<std::string> headerValue(const HttpHeaders& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (sameHeaderName(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

bool isHttpToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
}

bool isSafeHeaderValue(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

void validateHeader(std::string_view name, std::string_view value) {
    if (!isHttpToken(name)) {
        throw InvalidHeaderError(std::string(name), InvalidHeaderError::Problem::malformedName);
    }
    if (!isSafeHeaderValue(value)) {
        throw InvalidHeaderError(std::string(name), InvalidHeaderError::Problem::unsafeValue);
    }
}

} // namespace System::Net
