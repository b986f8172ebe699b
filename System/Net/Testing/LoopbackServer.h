#pragma once

// A loopback HTTP server for tests: it listens on 127.0.0.1 at a free port, records every request it receives
// exactly as it arrived, and answers with the handlers a test installs. Link System::NetTesting to use it.

#include <httplib.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace System::Net::Testing {

struct RecordedRequest {
    std::string method;
    std::string target; // path and query as sent, percent-encoding untouched
    httplib::Headers headers;
    std::string body;

    std::optional<std::string> header(const std::string& name) const {
        const auto found = headers.find(name);
        return found == headers.end() ? std::nullopt : std::optional(found->second);
    }
    std::size_t headerCount(const std::string& name) const { return headers.count(name); }
};

class LoopbackServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Fails loudly (std::runtime_error) when no loopback port can be bound.
    LoopbackServer() {
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0) {
            throw std::runtime_error("The loopback HTTP server could not bind a port on 127.0.0.1.");
        }
        // Every path of every method comes here (HEAD through the GET route), after the body has been read.
        const auto handle = [this](const httplib::Request& request, httplib::Response& response) {
            dispatch(request, response);
        };
        server_.Get(".*", handle);
        server_.Post(".*", handle);
        server_.Put(".*", handle);
        server_.Patch(".*", handle);
        server_.Delete(".*", handle);
        server_.Options(".*", handle);
        // Enough threads that keep-alive connections held by clients never starve a new request.
        server_.new_task_queue = [] { return new httplib::ThreadPool(64); };
        server_.set_tcp_nodelay(true);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }

    ~LoopbackServer() {
        server_.stop();
        thread_.join();
    }

    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Answers `method` requests for `path` (compared with the target's path as sent) with `handler`.
    void on(const std::string& method, const std::string& path, Handler handler) {
        std::lock_guard lock(mutex_);
        handlers_[{method, path}] = std::move(handler);
    }

    // Answers with a fixed status and body.
    void reply(const std::string& method, const std::string& path, int status, std::string body,
               std::string contentType = "application/json") {
        on(method, path,
           [status, body = std::move(body), contentType](const auto&, httplib::Response& response) {
               response.status = status;
               response.set_content(body, contentType.c_str());
           });
    }

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" followed by `path`.
    std::string url(const std::string& path = "") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    std::vector<RecordedRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<RecordedRequest> requests(const std::string& method, const std::string& path) const {
        std::vector<RecordedRequest> matching;
        for (auto& request : requests()) {
            if (request.method == method && pathOf(request.target) == path) {
                matching.push_back(std::move(request));
            }
        }
        return matching;
    }

private:
    void dispatch(const httplib::Request& request, httplib::Response& response) {
        Handler handler;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back({request.method, request.target, request.headers, request.body});
            const auto found = handlers_.find({request.method, pathOf(request.target)});
            if (found != handlers_.end()) {
                handler = found->second;
            }
        }
        if (handler) {
            handler(request, response);
        } else {
            response.status = 404;
        }
    }

    static std::string pathOf(const std::string& target) { return target.substr(0, target.find('?')); }

    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<RecordedRequest> requests_;
    std::map<std::pair<std::string, std::string>, Handler> handlers_;
};

// A door that blocks the server's handlers until the test opens it: for answers that come late or never.
// Declare it after the server: destroying it opens it and waits for the handlers to leave, so that the server
// can stop.
class Gate {
public:
    Gate() = default;
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    ~Gate() {
        open();
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return inside_ == 0; });
    }

    void wait() {
        std::unique_lock lock(mutex_);
        ++waiting_;
        ++inside_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return open_; });
        --inside_;
        changed_.notify_all();
    }
    // Waits until `count` handlers are waiting at the gate.
    void awaitWaiting(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return waiting_ >= count; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int waiting_ = 0; // ever arrived
    int inside_ = 0;  // still waiting
    bool open_ = false;
};

} // namespace System::Net::Testing
