#include "System/Workspace/X11Workspace.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace System::Workspace;

namespace {

// Plays the window manager: makes windows with the properties an application sets and names the
// active one on the root window (Xvfb runs no window manager).
class Desktop {
public:
    Desktop()
        : c_(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(c_)) {
            throw std::runtime_error("cannot connect to the X display");
        }
        screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    }
    ~Desktop() {
        xcb_delete_property(c_, screen_->root, atom("_NET_ACTIVE_WINDOW"));
        sync();
        xcb_disconnect(c_);
    }

    xcb_window_t window() {
        const auto id = xcb_generate_id(c_);
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, id, screen_->root, 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual, 0, nullptr);
        return id;
    }
    void destroy(xcb_window_t window) { xcb_destroy_window(c_, window); }
    void set(xcb_window_t window, const char* name, xcb_atom_t type, std::uint8_t format, const void* data,
             std::uint32_t count) {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window, atom(name), type, format, count, data);
    }
    void setText(xcb_window_t window, const char* name, const char* type, const std::string& text) {
        set(window, name, atom(type), 8, text.data(), std::uint32_t(text.size()));
    }
    void setPid(xcb_window_t window, std::uint32_t pid) {
        set(window, "_NET_WM_PID", XCB_ATOM_CARDINAL, 32, &pid, 1);
    }
    void activate(xcb_window_t window) {
        set(screen_->root, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, 32, &window, 1);
        sync();
    }
    void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

    xcb_atom_t atom(const char* name) {
        auto* reply = xcb_intern_atom_reply(
            c_, xcb_intern_atom(c_, 0, std::uint16_t(std::strlen(name)), name), nullptr);
        const auto value = reply->atom;
        std::free(reply);
        return value;
    }

private:
    xcb_connection_t* c_;
    xcb_screen_t* screen_;
};

} // namespace

TEST(X11WorkspaceTests, readsTheActiveWindowsApplication) {
    Desktop desktop;
    X11Workspace workspace;
    const auto editor = desktop.window();
    desktop.setPid(editor, 4242);
    desktop.setText(editor, "WM_CLASS", "STRING", std::string("gedit\0Gedit\0", 12));
    desktop.setText(editor, "_NET_WM_NAME", "UTF8_STRING", "Notes – café.txt");
    desktop.setText(editor, "WM_NAME", "STRING", "ignored when _NET_WM_NAME is set");
    desktop.activate(editor);

    EXPECT_EQ(workspace.frontmostApplication(),
              (RunningApplication{"Gedit", 4242, "Notes – café.txt", editor}));

    // Switching windows switches the answer.
    const auto terminal = desktop.window();
    desktop.setPid(terminal, 77);
    desktop.activate(terminal);
    EXPECT_EQ(workspace.frontmostApplication(),
              (RunningApplication{std::nullopt, 77, std::nullopt, terminal}));
}

TEST(X11WorkspaceTests, windowsThatSayLittleGiveWhatTheySay) {
    Desktop desktop;
    X11Workspace workspace;
    const auto legacy = desktop.window();
    desktop.setText(legacy, "WM_CLASS", "STRING", std::string("xterm\0XTerm\0", 12));
    desktop.setText(legacy, "WM_NAME", "STRING", "caf\xe9"); // Latin-1, as STRING properties are
    desktop.activate(legacy);
    EXPECT_EQ(workspace.frontmostApplication(), (RunningApplication{"XTerm", -1, "café", legacy}));

    const auto classless = desktop.window();
    desktop.setText(classless, "WM_CLASS", "STRING", std::string("only-instance\0", 14));
    desktop.activate(classless);
    EXPECT_EQ(workspace.frontmostApplication(),
              (RunningApplication{std::nullopt, -1, std::nullopt, classless}));
}

TEST(X11WorkspaceTests, noActiveWindowMeansNoFrontApplication) {
    Desktop desktop;
    X11Workspace workspace;
    EXPECT_EQ(workspace.frontmostApplication(), std::nullopt) << "no window manager property at all";

    desktop.activate(XCB_WINDOW_NONE);
    EXPECT_EQ(workspace.frontmostApplication(), std::nullopt);

    const auto closed = desktop.window();
    desktop.setPid(closed, 5);
    desktop.activate(closed);
    desktop.destroy(closed);
    desktop.sync();
    EXPECT_EQ(workspace.frontmostApplication(), std::nullopt) << "the active window has gone";
}
