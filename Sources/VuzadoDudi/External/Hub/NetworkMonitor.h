#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace VuzadoDudi {

// One report of the machine's network path.
struct NetworkPath {
    bool satisfied = false; // a route leaves the machine through an interface that is up
    bool isExpensive = false;
    bool isConstrained = false;
};

// Where path reports come from. `start` is called once; the source then reports the current path and every
// change on a thread of its own until it is destroyed.
class NetworkPathSource {
public:
    virtual ~NetworkPathSource() = default;
    virtual void start(std::function<void(NetworkPath)> report) = 0;
};

// Watches the kernel's links and routes over rtnetlink. The path is satisfied while a default route leads out
// through a non-loopback interface that is up and running. A source that cannot open its socket reports one
// satisfied path, so that a sandbox without rtnetlink never forces offline mode.
class RtnetlinkPathSource final : public NetworkPathSource {
public:
    RtnetlinkPathSource() = default;
    ~RtnetlinkPathSource() override;
    void start(std::function<void(NetworkPath)> report) override;

    // The path as the routing table has it now.
    static NetworkPath currentPath();

private:
    int stopFd_ = -1;
    std::thread thread_;
};

// The latest path report, and the offline rule that reads it. The client counts as online until a report says
// otherwise.
class NetworkStateActor {
public:
    void update(const NetworkPath& path);
    // False when CI_DISABLE_NETWORK_MONITOR is exactly "1"; otherwise whether the last report had no usable
    // path. Expensive and constrained paths are online.
    bool shouldUseOfflineMode() const;

    bool isConnected() const;
    bool isExpensive() const;
    bool isConstrained() const;

private:
    mutable std::mutex mutex_;
    bool isConnected_ = true;
    bool isExpensive_ = false;
    bool isConstrained_ = false;
};

// The hub client's view of whether the machine is online. The offline decision of every snapshot reads the
// process-wide `shared()` monitor, which watches rtnetlink unless a program or test installs another.
class NetworkMonitor {
public:
    explicit NetworkMonitor(std::unique_ptr<NetworkPathSource> source);
    NetworkMonitor(const NetworkMonitor&) = delete;
    NetworkMonitor& operator=(const NetworkMonitor&) = delete;

    // Starts the source on first call; later calls change nothing.
    void startMonitoring();
    NetworkStateActor& state() { return *state_; }

    static std::shared_ptr<NetworkMonitor> shared();
    // Replaces the process-wide monitor, for tests and for programs that know better.
    static void setShared(std::shared_ptr<NetworkMonitor> monitor);

private:
    std::shared_ptr<NetworkStateActor> state_ = std::make_shared<NetworkStateActor>();
    std::once_flag started_;
    // Declared last: destroyed first, so no report arrives while the state goes away.
    std::unique_ptr<NetworkPathSource> source_;
};

} // namespace VuzadoDudi
