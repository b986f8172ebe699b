#include "RunTask.h"

#include "TessarinPlatform/System/TCCPermissionService.h"
#include "TessarinPlatform/System/WorkspaceFrontmostAppProvider.h"

#include <gtest/gtest.h>

using namespace TessarinPlatform;
using TessarinCore::AppIdentity;
using TessarinCore::Permission;
using TessarinCore::PermissionStatus;
using TestSupport::run;

TEST(TCCPermissionServiceTests, eachPermissionFollowsItsOwnProbe) {
    System::Concurrency::ManualExecutor executor;
    struct Case {
        bool audio, keys, posting;
        PermissionStatus microphone, inputMonitoring, postEvents;
    };
    const auto granted = PermissionStatus::granted;
    const auto denied = PermissionStatus::denied;
    const Case cases[] = {
        {true, true, true, granted, granted, granted}, {false, true, true, denied, granted, granted},
        {true, false, true, granted, denied, granted}, {true, true, false, granted, granted, denied},
        {false, false, false, denied, denied, denied},
    };
    for (const auto& c : cases) {
        TCCPermissionService service(TCCPermissionService::Probes{
            [&] { return c.audio; }, [&] { return c.keys; }, [&] { return c.posting; }});
        EXPECT_EQ(run(executor, service.status(Permission::microphone)), c.microphone);
        EXPECT_EQ(run(executor, service.status(Permission::inputMonitoring)), c.inputMonitoring);
        EXPECT_EQ(run(executor, service.status(Permission::postEvents)), c.postEvents);
        EXPECT_EQ(run(executor, service.request(Permission::microphone)), c.microphone);
        EXPECT_EQ(run(executor, service.request(Permission::inputMonitoring)), c.inputMonitoring);
        EXPECT_EQ(run(executor, service.request(Permission::postEvents)), c.postEvents);
    }
}

TEST(TCCPermissionServiceTests, aRequestReadsTheStateAnew) {
    System::Concurrency::ManualExecutor executor;
    bool reachable = false;
    TCCPermissionService service(TCCPermissionService::Probes{[&] { return reachable; }, {}, {}});
    EXPECT_EQ(run(executor, service.status(Permission::microphone)), PermissionStatus::denied);
    reachable = true; // the sound server came up
    EXPECT_EQ(run(executor, service.request(Permission::microphone)), PermissionStatus::granted);
    EXPECT_EQ(run(executor, service.status(Permission::postEvents)), PermissionStatus::denied) << "no probe";
}

TEST(TCCPermissionServiceTests, settingsAddressesEndWithThePermissionsAnchor) {
    EXPECT_EQ(TCCPermissionService::settingsURL(Permission::microphone),
              "parlindo-settings:privacy?Privacy_Microphone");
    EXPECT_EQ(TCCPermissionService::settingsURL(Permission::inputMonitoring),
              "parlindo-settings:privacy?Privacy_ListenEvent");
    EXPECT_EQ(TCCPermissionService::settingsURL(Permission::postEvents),
              "parlindo-settings:privacy?Privacy_Accessibility");
}

TEST(WorkspaceFrontmostAppProviderTests, mapsTheFrontApplication) {
    System::Concurrency::ManualExecutor executor;
    auto workspace = std::make_shared<System::Workspace::FakeWorkspace>();
    WorkspaceFrontmostAppProvider provider(workspace);
    EXPECT_EQ(run(executor, provider.frontmostApp()), std::nullopt);

    workspace->frontmost = System::Workspace::RunningApplication{std::nullopt, 321, "Untitled"};
    EXPECT_EQ(run(executor, provider.frontmostApp()), (AppIdentity{std::nullopt, 321, "Untitled"}));
    workspace->frontmost = System::Workspace::RunningApplication{"Gedit", 9, std::nullopt, 0x1400007};
    EXPECT_EQ(run(executor, provider.frontmostApp()), (AppIdentity{"Gedit", 9, std::nullopt, 0x1400007}));
}
