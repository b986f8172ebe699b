#include "System/Concurrency/BlockingRun.h"
#include "TessarinPlatform/System/TCCPermissionService.h"
#include "TessarinPlatform/System/WorkspaceFrontmostAppProvider.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

using namespace TessarinPlatform;
using System::Concurrency::blockingRun;
using TessarinCore::Permission;
using TessarinCore::PermissionStatus;

namespace {

// Points $DISPLAY somewhere else for the life of the object.
class DisplayOverride {
public:
    explicit DisplayOverride(const char* display)
        : saved_(std::getenv("DISPLAY")) {
        setenv("DISPLAY", display, 1);
    }
    ~DisplayOverride() { setenv("DISPLAY", saved_.c_str(), 1); }

private:
    std::string saved_;
};

} // namespace

TEST(PermissionsX11Tests, keyInputAndPostingAreGrantedOnAWorkingDisplay) {
    TCCPermissionService service([] { return true; });
    EXPECT_EQ(blockingRun(service.status(Permission::inputMonitoring)), PermissionStatus::granted);
    EXPECT_EQ(blockingRun(service.status(Permission::postEvents)), PermissionStatus::granted);
    EXPECT_EQ(blockingRun(service.request(Permission::postEvents)), PermissionStatus::granted);
}

TEST(PermissionsX11Tests, withoutADisplayBothAreDenied) {
    DisplayOverride nowhere(":4711");
    TCCPermissionService service([] { return false; });
    EXPECT_EQ(blockingRun(service.status(Permission::inputMonitoring)), PermissionStatus::denied);
    EXPECT_EQ(blockingRun(service.request(Permission::postEvents)), PermissionStatus::denied);
    EXPECT_EQ(blockingRun(service.status(Permission::microphone)), PermissionStatus::denied);
    WorkspaceFrontmostAppProvider provider;
    EXPECT_EQ(blockingRun(provider.frontmostApp()), std::nullopt);
}

TEST(FrontmostAppX11Tests, readsTheWindowTheRootNamesActive) {
    auto* c = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(c));
    const auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const auto window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 10, 10, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
    auto atom = [&](const char* name) {
        auto* reply =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(strlen(name)), name), nullptr);
        const auto value = reply->atom;
        free(reply);
        return value;
    };
    const std::uint32_t pid = 1234;
    const std::string wmClass("mousepad\0Mousepad\0", 18);
    const std::string title = "Brief – naïve.txt";
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32, 1,
                        &pid);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                        std::uint32_t(wmClass.size()), wmClass.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 8,
                        std::uint32_t(title.size()), title.data());
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, screen->root, atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW,
                        32, 1, &window);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    WorkspaceFrontmostAppProvider provider;
    EXPECT_EQ(blockingRun(provider.frontmostApp()),
              (TessarinCore::AppIdentity{"Mousepad", 1234, title, window}));

    xcb_delete_property(c, screen->root, atom("_NET_ACTIVE_WINDOW"));
    xcb_disconnect(c);
}
