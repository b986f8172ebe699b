#pragma once

// A loopback HTTP server for tests: it listens on 127.0.0.1 at a free port, records every request exactly as
// its bytes arrived (header values and targets untouched, unlike the parsed form handlers see), and answers
// with the handlers a test installs. Requests reach the handlers through a recording relay in front of a
// cpp-httplib server. Link System::NetTesting to use it.
//
// Handlers run on the server's own threads, and a client that gives up (a timeout, a cancellation) does not
// stop a handler that is about to run: whatever a handler uses must outlive the server's stop. Gates come
// from the server for that reason; other state a handler touches is declared before the server, so that it
// is destroyed after it.

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace System::Net::Testing {

struct RecordedRequest {
    std::string method;
    std::string target;       // path and query as sent
    httplib::Headers headers; // names compare without regard to case; values exactly as sent
    std::string body;

    std::optional<std::string> header(const std::string& name) const;
    std::size_t headerCount(const std::string& name) const { return headers.count(name); }
};

class Gate;

class LoopbackServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Throws std::runtime_error, loudly, when the server cannot listen on the loopback interface.
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Answers `method` requests for `path` (the target's path as sent) with `handler`; others get 404.
    void on(const std::string& method, const std::string& path, Handler handler);
    // Answers every request that no `on` route takes, instead of 404: for servers of whole folder trees.
    void fallback(Handler handler);
    // Answers with a fixed status and body.
    void reply(const std::string& method, const std::string& path, int status, std::string body,
               std::string contentType = "application/json");

    // A closed gate that lives as long as the server: handlers wait at it until the test opens it, and
    // stopping the server opens it.
    Gate& gate();

    // Stops taking requests, opens every gate and waits for every handler that started to return: after it,
    // no handler runs again. The destructor stops the server; call it earlier when a handler uses something
    // that dies before the server. Call it from the test's thread, not from a handler.
    void stop();

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string url(const std::string& path = "") const;

    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requests(const std::string& method, const std::string& path) const;
    // Waits until `count` requests for `method` and `path` have arrived, for requests nobody waits for (a
    // warm-up); false when they have not arrived within `limit`.
    bool waitForRequests(const std::string& method, const std::string& path, std::size_t count,
                         std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    struct Relay;
    void dispatch(const httplib::Request& request, httplib::Response& response);
    void record(RecordedRequest request);

    httplib::Server server_;
    int port_ = 0;
    std::thread serverThread_;
    std::unique_ptr<Relay> relay_;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    std::vector<RecordedRequest> requests_;
    std::map<std::pair<std::string, std::string>, Handler> handlers_;
    Handler fallback_;
    std::vector<std::unique_ptr<Gate>> gates_;
    bool stopped_ = false;
};

// A door that blocks the server's handlers until the test opens it: for answers that come late or never.
// A gate must outlive every handler that waits at it: take it from LoopbackServer::gate(), which keeps it until
// the server has stopped, or hold it in a shared_ptr that the handler captures. Never one on a test's stack.
class Gate {
public:
    Gate() = default;
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    void wait();
    // Waits until `count` handlers have arrived at the gate.
    void awaitWaiting(int count);
    // Lets every handler through, now and from then on.
    void open();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int arrived_ = 0;
    bool open_ = false;
};

} // namespace System::Net::Testing
