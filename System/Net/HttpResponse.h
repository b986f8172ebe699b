#pragma once

#include "System/Net/HttpHeaders.h"

#include <optional>
#include <string>
#include <string_view>

namespace System::Net {

// What a server answered. Any status, 4xx and 5xx included, is a response; only a failure to get one at all
// is a TransportError.
struct HttpResponse {
    int status = 0;
    HttpHeaders headers; // of the final response
    std::string body;    // raw bytes, content encodings undone
    std::string url;     // where the answer came from, after redirects

    std::optional<std::string> header(std::string_view name) const { return headerValue(headers, name); }
    bool isSuccess() const { return status >= 200 && status <= 299; }
};

// The standard English reason phrase of an HTTP status ("Not Found" for 404); the phrase of the status class
// ("Client Error") for a status without one of its own.
std::string reasonPhrase(int status);

} // namespace System::Net
