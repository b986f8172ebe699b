#include "System/Net/HttpClient.h"

#include "System/Concurrency/Instant.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace System::Net {

using Concurrency::Duration;
using Concurrency::Instant;

namespace {

void curlInitOnce() {
    static const bool initialised = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
    }();
    (void)initialised;
}

TransportError::Code codeFor(CURLcode result) {
    switch (result) {
    case CURLE_REMOTE_FILE_NOT_FOUND:
        return TransportError::Code::resourceUnavailable;
    case CURLE_FILESIZE_EXCEEDED:
        return TransportError::Code::responseTooLarge;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return TransportError::Code::badURL;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return TransportError::Code::cannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return TransportError::Code::cannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
        return TransportError::Code::timedOut;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return TransportError::Code::secureConnectionFailed;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return TransportError::Code::networkConnectionLost;
    case CURLE_TOO_MANY_REDIRECTS:
        return TransportError::Code::tooManyRedirects;
    default:
        return TransportError::Code::other;
    }
}

// The hosts reached without a proxy: the user's no_proxy list, and always this machine itself, so that a
// proxy setting never sends loopback traffic off the machine.
const std::string& noProxyList() {
    static const std::string list = [] {
        const char* configured = std::getenv("no_proxy");
        if (configured == nullptr || *configured == '\0') {
            configured = std::getenv("NO_PROXY");
        }
        std::string hosts = configured != nullptr ? configured : "";
        return hosts + (hosts.empty() ? "" : ",") + "localhost,127.0.0.1,::1";
    }();
    return list;
}

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

} // namespace

// --- the worker
// ---------------------------------------------------------------------------------------------

// One request on its way: the easy handle and everything libcurl reads from or writes into while it runs.
struct Transfer {
    std::uint64_t id = 0;
    HttpRequest request;
    HttpClient::Completion completion;
    Duration timeout;
    CURL* easy = nullptr;
    std::unique_ptr<curl_slist, SlistDeleter> headerList;
    HttpResponse response;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Instant lastActivity;
    curl_off_t downloaded = -1;
    curl_off_t uploaded = -1;
    bool headDelivered = false;     // streaming: onHead has seen the final answer's header
    bool stoppedByReceiver = false; // streaming: onHead or onBody asked to stop
    std::size_t received = 0;       // header and collected body bytes, for request.maxResponseSize
    bool tooLarge = false;          // the answer grew past request.maxResponseSize

    ~Transfer() {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
    }

    Instant idleDeadline() const { return lastActivity + timeout; }

    void finish(HttpClient::Outcome outcome) {
        if (completion) {
            auto callback = std::move(completion);
            completion = nullptr;
            callback(std::move(outcome));
        }
    }
};

class HttpClient::Worker {
public:
    Worker()
        : multi_(curl_multi_init()) {
        curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
        thread_ = std::thread([this] { run(); });
    }

    ~Worker() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        curl_multi_wakeup(multi_);
        thread_.join();
        curl_multi_cleanup(multi_);
    }

    void submit(std::unique_ptr<Transfer> transfer) {
        {
            std::lock_guard lock(mutex_);
            incoming_.push_back(std::move(transfer));
        }
        curl_multi_wakeup(multi_);
    }

    void cancel(std::uint64_t id) {
        {
            std::lock_guard lock(mutex_);
            cancelled_.push_back(id);
        }
        curl_multi_wakeup(multi_);
    }

private:
    static int onProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
        auto* transfer = static_cast<Transfer*>(context);
        if (downloaded != transfer->downloaded || uploaded != transfer->uploaded) {
            transfer->downloaded = downloaded;
            transfer->uploaded = uploaded;
            transfer->lastActivity = Instant::now();
        }
        return 0;
    }

    static bool isStreaming(const Transfer& transfer) {
        return transfer.request.onHead || transfer.request.onBody;
    }

    // Counts `count` more bytes of the answer; false (the transfer then ends) once it has grown too large.
    static bool admit(Transfer& transfer, std::size_t count) {
        transfer.received += count;
        const auto& limit = transfer.request.maxResponseSize;
        transfer.tooLarge = transfer.tooLarge || (limit && transfer.received > *limit);
        return !transfer.tooLarge;
    }

    // Hands the final answer's header to a streaming receiver, once; false when the receiver wants to stop.
    static bool deliverHead(Transfer& transfer) {
        if (transfer.headDelivered) {
            return true;
        }
        transfer.headDelivered = true;
        long status = 0;
        char* url = nullptr;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &url);
        if (!transfer.request.onHead) {
            return true;
        }
        HttpResponse head;
        head.status = static_cast<int>(status);
        head.headers = transfer.response.headers;
        head.url = url ? url : transfer.request.url;
        if (!transfer.request.onHead(head)) {
            transfer.stoppedByReceiver = true;
            return false;
        }
        return true;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* context) {
        auto* transfer = static_cast<Transfer*>(context);
        transfer->lastActivity = Instant::now();
        if (transfer->request.onBody) {
            if (!deliverHead(*transfer) || !transfer->request.onBody(std::string_view(data, size * count))) {
                transfer->stoppedByReceiver = true;
                return 0; // libcurl ends a transfer whose writer takes less than it was given
            }
            return size * count;
        }
        if (!admit(*transfer, size * count)) {
            return 0;
        }
        transfer->response.body.append(data, size * count);
        return size * count;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* context) {
        auto* transfer = static_cast<Transfer*>(context);
        std::string_view line(data, size * count);
        transfer->lastActivity = Instant::now();
        if (!admit(*transfer, size * count)) {
            return 0;
        }
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            // The end of one answer's header. A streaming receiver hears of the final answer only: not of an
            // interim 1xx, nor of a redirect that is about to be followed.
            if (isStreaming(*transfer) && !transfer->headDelivered) {
                long status = 0;
                curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
                const bool followed = transfer->request.followRedirects && status >= 300 && status <= 399 &&
                                      headerValue(transfer->response.headers, "Location").has_value();
                if (status >= 200 && !followed && !deliverHead(*transfer)) {
                    return 0;
                }
            }
        } else if (line.starts_with("HTTP/")) {
            // A new response begins (after a redirect or an interim 1xx): only the last one's headers count.
            transfer->response.headers.clear();
        } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
            auto value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
                value.remove_prefix(1);
            }
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
                value.remove_suffix(1);
            }
            transfer->response.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
        }
        return size * count;
    }

    // Sets up the easy handle; the transfer keeps every buffer that libcurl reads while it runs.
    static void configure(Transfer& transfer) {
        CURL* easy = transfer.easy;
        auto& request = transfer.request;
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(easy, CURLOPT_NOPROXY, noProxyList().c_str());
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
        curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &transfer);

        if (request.onBody) {
            // A streamed body is large by nature: fewer, larger reads keep the receiver's copies cheap.
            curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 512L * 1024L);
        } else if (request.maxResponseSize) {
            // An announced length past the bound ends the request before any of the body is read.
            curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                             static_cast<curl_off_t>(*request.maxResponseSize));
        }
        if (request.method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else if (request.body) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.body->size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body->data());
            if (request.method != "POST") {
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
            }
        } else if (request.method != "GET") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }

        curl_slist* list = nullptr;
        for (const auto& [name, value] : request.headers) {
            // "Name;" is libcurl's way to send a header with an empty value.
            const std::string line = value.empty() ? name + ";" : name + ": " + value;
            list = curl_slist_append(list, line.c_str());
        }
        // Only what the caller asked for: no form content type for bodies, no 100-continue round trip.
        if (!request.header("Content-Type")) {
            list = curl_slist_append(list, "Content-Type:");
        }
        if (!request.header("Expect")) {
            list = curl_slist_append(list, "Expect:");
        }
        transfer.headerList.reset(list);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    }

    void run() {
        while (true) {
            std::deque<std::unique_ptr<Transfer>> incoming;
            std::vector<std::uint64_t> cancelled;
            bool stopping = false;
            {
                std::lock_guard lock(mutex_);
                incoming.swap(incoming_);
                cancelled.swap(cancelled_);
                stopping = stopping_;
            }
            for (auto& transfer : incoming) {
                begin(std::move(transfer));
            }
            for (const auto id : cancelled) {
                end(id, std::make_exception_ptr(TransportError(TransportError::Code::cancelled)));
            }
            if (stopping) {
                while (!active_.empty()) {
                    end(active_.begin()->first,
                        std::make_exception_ptr(TransportError(TransportError::Code::cancelled)));
                }
                return;
            }

            int running = 0;
            curl_multi_perform(multi_, &running);
            collectFinished();
            expireIdle();

            curl_multi_poll(multi_, nullptr, 0, pollTimeoutMs(), nullptr);
        }
    }

    void begin(std::unique_ptr<Transfer> transfer) {
        transfer->easy = curl_easy_init();
        if (transfer->easy == nullptr) {
            transfer->finish(std::make_exception_ptr(
                TransportError(TransportError::Code::other, "curl_easy_init failed")));
            return;
        }
        configure(*transfer);
        transfer->lastActivity = Instant::now();
        if (curl_multi_add_handle(multi_, transfer->easy) != CURLM_OK) {
            transfer->finish(std::make_exception_ptr(
                TransportError(TransportError::Code::other, "curl_multi_add_handle failed")));
            return;
        }
        const auto id = transfer->id;
        active_.emplace(id, std::move(transfer));
    }

    // Ends a transfer that is still running; unknown ids (already ended) are ignored.
    void end(std::uint64_t id, HttpClient::Outcome outcome) {
        const auto found = active_.find(id);
        if (found == active_.end()) {
            return;
        }
        auto transfer = std::move(found->second);
        active_.erase(found);
        curl_multi_remove_handle(multi_, transfer->easy);
        transfer->finish(std::move(outcome));
    }

    void collectFinished() {
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            const CURLcode result = message->data.result;
            if (result == CURLE_OK) {
                long status = 0;
                char* url = nullptr;
                curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
                curl_easy_getinfo(transfer->easy, CURLINFO_EFFECTIVE_URL, &url);
                transfer->response.status = static_cast<int>(status);
                transfer->response.url = url ? url : transfer->request.url;
                end(transfer->id, std::move(transfer->response));
            } else if (transfer->tooLarge) {
                end(transfer->id,
                    std::make_exception_ptr(TransportError(
                        TransportError::Code::responseTooLarge,
                        "more than " + std::to_string(*transfer->request.maxResponseSize) + " bytes")));
            } else if (transfer->stoppedByReceiver) {
                end(transfer->id, std::make_exception_ptr(TransportError(TransportError::Code::cancelled,
                                                                         "stopped by the receiver")));
            } else {
                std::string detail =
                    transfer->errorBuffer[0] ? transfer->errorBuffer : curl_easy_strerror(result);
                end(transfer->id,
                    std::make_exception_ptr(TransportError(codeFor(result), std::move(detail))));
            }
        }
    }

    // Until libcurl wants to be called again or the first idle deadline passes, at most a second.
    int pollTimeoutMs() const {
        Duration wait = Duration::seconds(std::int64_t{1});
        long curlTimeout = -1;
        curl_multi_timeout(multi_, &curlTimeout);
        if (curlTimeout >= 0) {
            wait = std::min(wait, Duration::milliseconds(curlTimeout));
        }
        const Instant now = Instant::now();
        for (const auto& [id, transfer] : active_) {
            wait = std::min(wait, transfer->idleDeadline() - now);
        }
        // One millisecond more, so that a deadline has surely passed when the poll returns.
        return static_cast<int>(std::clamp<std::int64_t>(wait.milliseconds() + 1, 0, 1000));
    }

    // A request that made no progress for its whole timeout ends as timed out.
    void expireIdle() {
        const Instant now = Instant::now();
        std::vector<std::uint64_t> expired;
        for (const auto& [id, transfer] : active_) {
            if (now >= transfer->idleDeadline()) {
                expired.push_back(id);
            }
        }
        for (const auto id : expired) {
            end(id, std::make_exception_ptr(
                        TransportError(TransportError::Code::timedOut, "no progress within the timeout")));
        }
    }

    CURLM* multi_;
    std::thread thread_;
    std::mutex mutex_;
    std::deque<std::unique_ptr<Transfer>> incoming_;
    std::vector<std::uint64_t> cancelled_;
    bool stopping_ = false;
    std::map<std::uint64_t, std::unique_ptr<Transfer>> active_; // the worker thread's own
};

// --- the client
// ---------------------------------------------------------------------------------------------

HttpClient::HttpClient()
    : HttpClient(Configuration{}) {}

HttpClient::HttpClient(Configuration configuration)
    : configuration_(configuration) {
    curlInitOnce();
    worker_ = std::make_unique<Worker>();
}

HttpClient::~HttpClient() = default;

TransportError::Code HttpClient::transportErrorCode(int curlResult) {
    return codeFor(static_cast<CURLcode>(curlResult));
}

std::uint64_t HttpClient::start(HttpRequest request, Completion completion) {
    static std::atomic<std::uint64_t> nextId{1};
    if (!isHttpToken(request.method)) {
        throw std::invalid_argument("HTTP method is not a token: " + request.method);
    }
    for (const auto& [name, value] : request.headers) {
        validateHeader(name, value);
    }
    if (request.url.find_first_of(std::string_view(" \r\n\0", 4)) != std::string::npos) {
        throw TransportError(TransportError::Code::badURL, "the address holds a space or control character");
    }
    if (request.method == "POST" && !request.body) {
        request.body.emplace();
    }
    auto transfer = std::make_unique<Transfer>();
    transfer->id = nextId++;
    transfer->timeout = request.timeout.value_or(configuration_.requestTimeout);
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    const auto id = transfer->id;
    worker_->submit(std::move(transfer));
    return id;
}

void HttpClient::cancel(std::uint64_t id) {
    worker_->cancel(id);
}

void HttpClient::sendDetached(HttpRequest request) {
    try {
        start(std::move(request), [](Outcome) {});
    } catch (const std::exception&) {
        // Nobody waits for a detached request, so there is nobody to tell.
    }
}

Concurrency::Task<HttpResponse> HttpClient::send(HttpRequest request) {
    using namespace Concurrency;
    co_await checkCancellation();
    auto cancellation = co_await currentCancellation();
    // Forgets the cancellation callback however the wait below ends.
    struct CallbackRegistration {
        std::shared_ptr<CancellationState> cancellation;
        CancellationState::CallbackId id = 0;
        ~CallbackRegistration() { cancellation->removeCallback(id); }
    };
    CallbackRegistration registration{cancellation};
    auto cancelledByTask = std::make_shared<std::atomic<bool>>(false);
    auto response = co_await withContinuation<HttpResponse>([&](Continuation<HttpResponse> continuation) {
        std::uint64_t id = 0;
        try {
            id = start(std::move(request), [continuation, cancelledByTask](Outcome outcome) {
                if (auto* response = std::get_if<HttpResponse>(&outcome)) {
                    continuation.resume(std::move(*response));
                } else if (cancelledByTask->load()) {
                    continuation.resumeThrowing(std::make_exception_ptr(CancellationError()));
                } else {
                    continuation.resumeThrowing(std::get<std::exception_ptr>(outcome));
                }
            });
        } catch (...) {
            continuation.resumeThrowing(std::current_exception());
            return;
        }
        registration.id = cancellation->onCancel([this, id, cancelledByTask] {
            cancelledByTask->store(true);
            cancel(id);
        });
    });
    co_return response;
}

} // namespace System::Net
