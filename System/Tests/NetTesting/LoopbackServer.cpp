#include "System/Tests/NetTesting/LoopbackServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace System::Net::Testing {

namespace {

std::string pathOf(const std::string& target) {
    return target.substr(0, target.find('?'));
}

void setNoDelay(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int listenOnLoopback(int& port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 128) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        throw std::runtime_error("The loopback HTTP server could not listen on 127.0.0.1.");
    }
    port = ntohs(address.sin_port);
    return fd;
}

int connectToLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        setNoDelay(fd);
        return fd;
    }
    if (fd >= 0) {
        close(fd);
    }
    return -1;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string trimmed(std::string_view text) {
    const auto begin = text.find_first_not_of(" \t");
    if (begin == std::string_view::npos) {
        return {};
    }
    const auto end = text.find_last_not_of(" \t");
    return std::string(text.substr(begin, end - begin + 1));
}

// Takes one complete request off the front of `stream`, or nothing while it is incomplete. Bodies are framed
// by Content-Length, as every client of these tests sends them.
std::optional<RecordedRequest> takeRequest(std::string& stream) {
    const auto headEnd = stream.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        return std::nullopt;
    }
    RecordedRequest request;
    std::string_view head(stream.data(), headEnd);
    const auto lineEnd = head.find("\r\n");
    const std::string_view requestLine = head.substr(0, lineEnd);
    const auto firstSpace = requestLine.find(' ');
    const auto secondSpace = requestLine.find(' ', firstSpace + 1);
    request.method = std::string(requestLine.substr(0, firstSpace));
    request.target = std::string(requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1));
    std::size_t bodyLength = 0;
    std::size_t position = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
    while (position < head.size()) {
        const auto end = std::min(head.find("\r\n", position), head.size());
        const std::string_view line = head.substr(position, end - position);
        if (const auto colon = line.find(':'); colon != std::string_view::npos) {
            std::string name(line.substr(0, colon));
            std::string value = trimmed(line.substr(colon + 1));
            if (strcasecmp(name.c_str(), "Content-Length") == 0) {
                bodyLength = std::stoul(value);
            }
            request.headers.emplace(std::move(name), std::move(value));
        }
        position = end + 2;
    }
    const std::size_t total = headEnd + 4 + bodyLength;
    if (stream.size() < total) {
        return std::nullopt;
    }
    request.body = stream.substr(headEnd + 4, bodyLength);
    stream.erase(0, total);
    return request;
}

} // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::nullopt : std::optional(found->second);
}

// Accepts the clients' connections, relays each to the httplib server and records what the client sent.
struct LoopbackServer::Relay {
    LoopbackServer& owner;
    int listenFd = -1;
    int port = 0;
    int backendPort = 0;
    int stopPipe[2] = {-1, -1};
    std::thread acceptThread;
    std::mutex mutex;
    std::vector<std::thread> connections;

    Relay(LoopbackServer& owner, int backendPort)
        : owner(owner)
        , backendPort(backendPort) {
        listenFd = listenOnLoopback(port);
        if (pipe2(stopPipe, O_CLOEXEC) != 0) {
            close(listenFd);
            throw std::runtime_error("The loopback HTTP server could not make its stop pipe.");
        }
        acceptThread = std::thread([this] { acceptLoop(); });
    }

    ~Relay() {
        const char byte = 0;
        [[maybe_unused]] const auto written = write(stopPipe[1], &byte, 1);
        acceptThread.join();
        for (auto& connection : connections) {
            connection.join();
        }
        close(listenFd);
        close(stopPipe[0]);
        close(stopPipe[1]);
    }

    void acceptLoop() {
        while (true) {
            pollfd fds[2] = {{listenFd, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            const int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            setNoDelay(client);
            std::lock_guard lock(mutex);
            connections.emplace_back([this, client] { relay(client); });
        }
    }

    void relay(int client) {
        const int backend = connectToLoopback(backendPort);
        std::string pending;
        char buffer[65536];
        while (backend >= 0) {
            pollfd fds[3] = {{client, POLLIN, 0}, {backend, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
            if (poll(fds, 3, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if (fds[2].revents != 0) {
                break;
            }
            if (fds[0].revents != 0) {
                const ssize_t n = recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    break;
                }
                // Recorded before it is passed on, so a request is on record by the time its handler runs.
                pending.append(buffer, static_cast<std::size_t>(n));
                while (auto request = takeRequest(pending)) {
                    owner.record(std::move(*request));
                }
                if (!writeAll(backend, buffer, static_cast<std::size_t>(n))) {
                    break;
                }
            }
            if (fds[1].revents != 0) {
                const ssize_t n = recv(backend, buffer, sizeof buffer, 0);
                if (n <= 0 || !writeAll(client, buffer, static_cast<std::size_t>(n))) {
                    break;
                }
            }
        }
        if (backend >= 0) {
            close(backend);
        }
        close(client);
    }
};

LoopbackServer::LoopbackServer() {
    const int backendPort = server_.bind_to_any_port("127.0.0.1");
    if (backendPort <= 0) {
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
    serverThread_ = std::thread([this] { server_.listen_after_bind(); });
    // A stop() that comes before the server runs is lost and leaves it in accept() for good, so wait for it.
    while (!server_.is_running()) {
        std::this_thread::yield();
    }
    relay_ = std::make_unique<Relay>(*this, backendPort);
    port_ = relay_->port;
}

LoopbackServer::~LoopbackServer() {
    stop();
}

Gate& LoopbackServer::gate() {
    std::lock_guard lock(mutex_);
    auto& gate = *gates_.emplace_back(new Gate);
    if (stopped_) {
        gate.open();
    }
    return gate;
}

void LoopbackServer::stop() {
    if (stopped_) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        for (const auto& gate : gates_) {
            gate->open();
        }
    }
    // No new request reaches a handler once the relay is gone; joining the server joins its worker threads,
    // so every handler that started has returned.
    relay_.reset();
    server_.stop();
    serverThread_.join();
}

void LoopbackServer::on(const std::string& method, const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[{method, path}] = std::move(handler);
}

void LoopbackServer::fallback(Handler handler) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(handler);
}

void LoopbackServer::reply(const std::string& method, const std::string& path, int status, std::string body,
                           std::string contentType) {
    on(method, path, [status, body = std::move(body), contentType](const auto&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, contentType.c_str());
    });
}

std::string LoopbackServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> LoopbackServer::requests(const std::string& method,
                                                      const std::string& path) const {
    std::vector<RecordedRequest> matching;
    for (auto& request : requests()) {
        if (request.method == method && pathOf(request.target) == path) {
            matching.push_back(std::move(request));
        }
    }
    return matching;
}

bool LoopbackServer::waitForRequests(const std::string& method, const std::string& path, std::size_t count,
                                     std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, limit, [&] {
        std::size_t matching = 0;
        for (const auto& request : requests_) {
            matching += request.method == method && pathOf(request.target) == path ? 1 : 0;
        }
        return matching >= count;
    });
}

void LoopbackServer::record(RecordedRequest request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
    arrived_.notify_all();
}

void LoopbackServer::dispatch(const httplib::Request& request, httplib::Response& response) {
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        const auto found = handlers_.find({request.method, pathOf(request.target)});
        if (found != handlers_.end()) {
            handler = found->second;
        } else {
            handler = fallback_;
        }
    }
    if (handler) {
        handler(request, response);
    } else {
        response.status = 404;
    }
}

void Gate::wait() {
    std::unique_lock lock(mutex_);
    ++arrived_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
}

void Gate::awaitWaiting(int count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return arrived_ >= count; });
}

void Gate::open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
}

} // namespace System::Net::Testing
