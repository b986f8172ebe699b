#include "VuzadoDudi/External/Hub/NetworkMonitor.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace VuzadoDudi {

namespace {

class Socket {
public:
    explicit Socket(int fd)
        : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }
    bool isValid() const { return fd_ >= 0; }

private:
    int fd_;
};

bool interfaceIsUsable(int index) {
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(static_cast<unsigned>(index), name) == nullptr) {
        return false;
    }
    const Socket probe(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!probe.isValid()) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, name, IF_NAMESIZE - 1);
    if (ioctl(probe.fd(), SIOCGIFFLAGS, &request) != 0) {
        return false;
    }
    const auto flags = request.ifr_flags;
    return (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0 && (flags & IFF_LOOPBACK) == 0;
}

// Whether one route message is a default route out through a usable interface.
bool isUsableDefaultRoute(const nlmsghdr* header) {
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) {
        return false;
    }
    int length = static_cast<int>(RTM_PAYLOAD(header));
    bool multipath = false;
    for (const rtattr* attribute = RTM_RTA(route); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == RTA_OIF) {
            int index = 0;
            std::memcpy(&index, RTA_DATA(attribute), sizeof index);
            if (interfaceIsUsable(index)) {
                return true;
            }
        } else if (attribute->rta_type == RTA_MULTIPATH) {
            multipath = true;
        }
    }
    return multipath;
}

} // namespace

NetworkPath RtnetlinkPathSource::currentPath() {
    const Socket query(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!query.isValid()) {
        return NetworkPath{true};
    }
    struct {
        nlmsghdr header;
        rtmsg route;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.route.rtm_family = AF_UNSPEC;
    if (send(query.fd(), &request, request.header.nlmsg_len, 0) < 0) {
        return NetworkPath{true};
    }
    std::vector<char> buffer(64 * 1024);
    NetworkPath path;
    while (true) {
        const ssize_t received = recv(query.fd(), buffer.data(), buffer.size(), 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            return path;
        }
        auto length = static_cast<unsigned>(received);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
                return path;
            }
            if (header->nlmsg_type == RTM_NEWROUTE && isUsableDefaultRoute(header)) {
                path.satisfied = true;
            }
        }
    }
}

void RtnetlinkPathSource::start(std::function<void(NetworkPath)> report) {
    auto events =
        std::make_shared<Socket>(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups =
        RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    if (!events->isValid() || stopFd_ < 0 ||
        bind(events->fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        report(NetworkPath{true});
        return;
    }
    thread_ = std::thread([events, stopFd = stopFd_, report = std::move(report)] {
        report(currentPath());
        std::vector<char> buffer(64 * 1024);
        while (true) {
            pollfd fds[2] = {{events->fd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            // One report for a burst of kernel messages: drain them, then read the routing table afresh.
            while (recv(events->fd(), buffer.data(), buffer.size(), 0) > 0) {
            }
            report(currentPath());
        }
    });
}

RtnetlinkPathSource::~RtnetlinkPathSource() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    if (stopFd_ >= 0) {
        close(stopFd_);
    }
}

void NetworkStateActor::update(const NetworkPath& path) {
    std::lock_guard lock(mutex_);
    isConnected_ = path.satisfied;
    isExpensive_ = path.isExpensive;
    isConstrained_ = path.isConstrained;
}

bool NetworkStateActor::shouldUseOfflineMode() const {
    const char* disabled = std::getenv("CI_DISABLE_NETWORK_MONITOR");
    if (disabled != nullptr && std::string_view(disabled) == "1") {
        return false;
    }
    return !isConnected();
}

bool NetworkStateActor::isConnected() const {
    std::lock_guard lock(mutex_);
    return isConnected_;
}

bool NetworkStateActor::isExpensive() const {
    std::lock_guard lock(mutex_);
    return isExpensive_;
}

bool NetworkStateActor::isConstrained() const {
    std::lock_guard lock(mutex_);
    return isConstrained_;
}

NetworkMonitor::NetworkMonitor(std::unique_ptr<NetworkPathSource> source)
    : source_(std::move(source)) {
    startMonitoring();
}

void NetworkMonitor::startMonitoring() {
    std::call_once(started_, [this] {
        source_->start([weak = std::weak_ptr<NetworkStateActor>(state_)](NetworkPath path) {
            if (const auto state = weak.lock()) {
                state->update(path);
            }
        });
    });
}

namespace {
std::mutex sharedMutex;
std::shared_ptr<NetworkMonitor>& sharedSlot() {
    static std::shared_ptr<NetworkMonitor> monitor;
    return monitor;
}
} // namespace

std::shared_ptr<NetworkMonitor> NetworkMonitor::shared() {
    std::lock_guard lock(sharedMutex);
    auto& slot = sharedSlot();
    if (!slot) {
        slot = std::make_shared<NetworkMonitor>(std::make_unique<RtnetlinkPathSource>());
    }
    return slot;
}

void NetworkMonitor::setShared(std::shared_ptr<NetworkMonitor> monitor) {
    std::lock_guard lock(sharedMutex);
    sharedSlot() = std::move(monitor);
}

} // namespace VuzadoDudi
