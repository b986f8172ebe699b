#include "HubTestSupport.h"

#include "VuzadoDudi/External/Hub/NetworkMonitor.h"

#include <condition_variable>

namespace VuzadoDudi::HubTests {
namespace {

// A path source the test drives by hand.
class ManualPathSource : public NetworkPathSource {
public:
    void start(std::function<void(NetworkPath)> report) override { *report_ = std::move(report); }
    std::shared_ptr<std::function<void(NetworkPath)>> reporter() const { return report_; }

private:
    std::shared_ptr<std::function<void(NetworkPath)>> report_ =
        std::make_shared<std::function<void(NetworkPath)>>();
};

TEST(NetworkMonitor, OnlyTheConnectionDecidesAndTheCiSwitchOverridesIt) {
    ScopedEnvironment environment;
    auto source = std::make_unique<ManualPathSource>();
    const auto report = source->reporter();
    NetworkMonitor monitor(std::move(source));

    environment.set("CI_DISABLE_NETWORK_MONITOR", std::nullopt);
    EXPECT_FALSE(monitor.state().shouldUseOfflineMode()); // online until a report says otherwise

    const struct {
        NetworkPath path;
        std::optional<std::string> ciSwitch;
        bool offline;
    } cases[] = {
        {{false, false, false}, std::nullopt, true},
        {{true, true, true}, std::nullopt, false}, // expensive and constrained are still online
        {{false, false, false}, "1", false},
        {{false, false, false}, "01", true},
        {{false, false, false}, "true", true},
        {{true, false, false}, "1", false},
    };
    for (const auto& c : cases) {
        (*report)(c.path);
        environment.set("CI_DISABLE_NETWORK_MONITOR", c.ciSwitch);
        EXPECT_EQ(monitor.state().shouldUseOfflineMode(), c.offline)
            << c.path.satisfied << " " << c.ciSwitch.value_or("unset");
    }
    EXPECT_TRUE(monitor.state().isExpensive() == false && monitor.state().isConnected());
}

TEST(NetworkMonitor, StartingAgainStartsTheSourceOnce) {
    struct CountingSource : NetworkPathSource {
        std::shared_ptr<int> starts = std::make_shared<int>(0);
        void start(std::function<void(NetworkPath)>) override { ++*starts; }
    };
    auto source = std::make_unique<CountingSource>();
    const auto starts = source->starts;
    NetworkMonitor monitor(std::move(source));
    monitor.startMonitoring();
    monitor.startMonitoring();
    EXPECT_EQ(*starts, 1);
}

// The kernel's answer depends on the machine; what matters is that a report comes and the watcher stops.
TEST(NetworkMonitor, TheRtnetlinkSourceReportsAndStops) {
    std::mutex mutex;
    std::condition_variable reported;
    int reports = 0;
    {
        RtnetlinkPathSource source;
        source.start([&](NetworkPath) {
            std::lock_guard lock(mutex);
            ++reports;
            reported.notify_all();
        });
        std::unique_lock lock(mutex);
        reported.wait(lock, [&] { return reports > 0; });
    }
    EXPECT_GE(reports, 1);
}

TEST(NetworkMonitor, TheSharedMonitorCanBeReplaced) {
    const auto original = NetworkMonitor::shared();
    auto replacement = std::make_shared<NetworkMonitor>(std::make_unique<ManualPathSource>());
    NetworkMonitor::setShared(replacement);
    EXPECT_EQ(NetworkMonitor::shared(), replacement);
    EXPECT_EQ(HubApi(std::filesystem::temp_directory_path(), std::string("")).networkMonitor, replacement);
    NetworkMonitor::setShared(original);
}

} // namespace
} // namespace VuzadoDudi::HubTests
