#pragma once

#include "System/Concurrency/Duration.h"
#include "System/Net/HttpHeaders.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace System::Net {

struct HttpResponse;

// One HTTP request; the body holds raw bytes.
struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers;
    std::optional<std::string> body; // sent from memory; a POST without one sends an empty body
    // The longest the request may go without progress (connecting, sending or receiving); the client's
    // configured timeout when absent.
    std::optional<Concurrency::Duration> timeout;
    // When false, a 3xx answer comes back as the response instead of being followed.
    bool followRedirects = true;
    // The most bytes an answer may bring: its header lines (those of followed redirects and interim answers
    // included) and, unless it is streamed, its body. Past it the request ends with
    // TransportError::responseTooLarge, so an answer from outside cannot fill the memory. No bound when
    // absent.
    std::optional<std::size_t> maxResponseSize;
    // Streaming instead of collecting, for bodies too large to hold: `onHead` runs once with the final
    // answer's status, headers and address (no body) as soon as its header has arrived, and `onBody` then
    // receives the body piece by piece; the response's own body stays empty. Both run on the client's worker
    // thread and should return quickly. Returning false stops the transfer, which then ends with
    // TransportError::cancelled.
    std::function<bool(const HttpResponse& head)> onHead;
    std::function<bool(std::string_view piece)> onBody;

    // Sets `name` to `value`, replacing every earlier value of that name. Throws InvalidHeaderError, as
    // validateHeader does, instead of accepting a header that cannot be sent safely.
    void setHeader(std::string_view name, std::string value);
    std::optional<std::string> header(std::string_view name) const { return headerValue(headers, name); }
};

} // namespace System::Net
