#pragma once

#include "System/Concurrency/Duration.h"
#include "System/Concurrency/Task.h"
#include "System/Net/HttpRequest.h"
#include "System/Net/HttpResponse.h"
#include "System/Net/NetErrors.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <variant>

namespace System::Net {

// An HTTP/1.1 and HTTP/2 client over libcurl, with TLS, redirects (http and https only) and transparent
// content decoding. No cookies, cache or credentials are kept. One worker thread serves every request of a
// client, so connections are reused between requests, a warm-up request included. Safe to use from any
// thread.
class HttpClient {
public:
    struct Configuration {
        // Used for requests that name no timeout of their own.
        Concurrency::Duration requestTimeout = Concurrency::Duration::seconds(std::int64_t{60});
    };

    using Outcome = std::variant<HttpResponse, std::exception_ptr>;
    using Completion = std::function<void(Outcome)>;

    HttpClient();
    explicit HttpClient(Configuration configuration);
    // Ends the requests still in flight with TransportError::cancelled and stops the worker.
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    const Configuration& configuration() const { return configuration_; }

    // Performs `request` off the caller's thread and resumes the caller on its own executor with the
    // response, whatever its status. Throws TransportError when no response came, InvalidHeaderError (before
    // anything is sent) for a header that cannot be sent safely, and CancellationError when the awaiting task
    // is cancelled, which also aborts the request.
    Concurrency::Task<HttpResponse> send(HttpRequest request);

    // Starts `request` and forgets it: the answer and any error are dropped. For warm-ups.
    void sendDetached(HttpRequest request);

    // The callback form of `send`: `completion` runs once, on the client's worker thread, and should only
    // hand the outcome on. Returns an id for `cancel`. Throws as `send` does for a request that cannot be
    // sent.
    std::uint64_t start(HttpRequest request, Completion completion);
    // Ends the request with TransportError::cancelled unless it has already ended.
    void cancel(std::uint64_t id);

    // The failure a libcurl result code (a CURLcode other than CURLE_OK) stands for.
    static TransportError::Code transportErrorCode(int curlResult);

private:
    class Worker;

    Configuration configuration_;
    std::unique_ptr<Worker> worker_;
};

} // namespace System::Net
