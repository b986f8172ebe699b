#pragma once

#include "System/Concurrency/Duration.h"
#include "System/Net/HttpHeaders.h"

#include <optional>
#include <string>
#include <string_view>

namespace System::Net {

// One HTTP request; the body holds raw bytes.
struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers;
    std::optional<std::string> body; // sent from memory; a POST without one sends an empty body
    // The longest the request may go without progress (connecting, sending or receiving); the client's
    // configured timeout when absent.
    std::optional<Concurrency::Duration> timeout;

    // Sets `name` to `value`, replacing every earlier value of that name. Throws InvalidHeaderError, as
    // validateHeader does, instead of accepting a header that cannot be sent safely.
    void setHeader(std::string_view name, std::string value);
    std::optional<std::string> header(std::string_view name) const { return headerValue(headers, name); }
};

} // namespace System::Net
