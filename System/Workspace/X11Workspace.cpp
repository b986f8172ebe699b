#include "System/Workspace/X11Workspace.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace System::Workspace {

namespace {

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

// Latin-1 (the encoding of STRING properties) to UTF-8.
std::string utf8FromLatin1(const std::string& latin1) {
    std::string result;
    for (unsigned char c : latin1) {
        if (c < 0x80) {
            result += char(c);
        } else {
            result += char(0xc0 | (c >> 6));
            result += char(0x80 | (c & 0x3f));
        }
    }
    return result;
}

} // namespace

struct X11Workspace::Connection {
    xcb_connection_t* c = nullptr;
    xcb_window_t root = 0;
    xcb_atom_t activeWindow = 0, pid = 0, netName = 0, utf8 = 0;

    Connection() {
        int screenNumber = 0;
        c = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(c)) {
            return;
        }
        auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
            xcb_screen_next(&it);
        }
        root = it.data->root;
        activeWindow = atom("_NET_ACTIVE_WINDOW");
        pid = atom("_NET_WM_PID");
        netName = atom("_NET_WM_NAME");
        utf8 = atom("UTF8_STRING");
    }
    ~Connection() { xcb_disconnect(c); }

    bool usable() const { return !xcb_connection_has_error(c); }

    xcb_atom_t atom(const char* name) {
        Reply<xcb_intern_atom_reply_t> reply(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr),
            &std::free);
        return reply ? reply->atom : XCB_ATOM_NONE;
    }

    // The property's value and type; none when the window lacks it. `gone` is set when the window no
    // longer exists.
    std::optional<std::string> property(xcb_window_t window, xcb_atom_t name, xcb_atom_t& type, bool& gone) {
        xcb_generic_error_t* error = nullptr;
        Reply<xcb_get_property_reply_t> reply(
            xcb_get_property_reply(
                c, xcb_get_property(c, 0, window, name, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 16), &error),
            &std::free);
        if (error) {
            gone = gone || error->error_code == XCB_WINDOW;
            std::free(error);
        }
        if (!reply || reply->type == XCB_ATOM_NONE) {
            return std::nullopt;
        }
        type = reply->type;
        const auto* bytes = static_cast<const char*>(xcb_get_property_value(reply.get()));
        return std::string(bytes, std::size_t(xcb_get_property_value_length(reply.get())));
    }
};

X11Workspace::X11Workspace() = default;
X11Workspace::~X11Workspace() = default;

std::optional<RunningApplication> X11Workspace::frontmostApplication() {
    std::lock_guard lock(mutex_);
    if (!connection_ || !connection_->usable()) {
        connection_ = std::make_unique<Connection>();
        if (!connection_->usable()) {
            return std::nullopt;
        }
    }
    auto& x = *connection_;
    xcb_atom_t type = XCB_ATOM_NONE;
    bool gone = false;
    const auto active = x.property(x.root, x.activeWindow, type, gone);
    if (!active || active->size() < 4 || type != XCB_ATOM_WINDOW) {
        return std::nullopt;
    }
    xcb_window_t window = 0;
    std::memcpy(&window, active->data(), sizeof window);
    if (window == XCB_WINDOW_NONE) {
        return std::nullopt;
    }

    RunningApplication application;
    application.windowIdentifier = window;
    if (auto pid = x.property(window, x.pid, type, gone);
        pid && pid->size() >= 4 && type == XCB_ATOM_CARDINAL) {
        std::uint32_t value = 0;
        std::memcpy(&value, pid->data(), sizeof value);
        application.processIdentifier = std::int32_t(value);
    }
    // WM_CLASS holds two NUL-terminated strings: the instance, then the class.
    if (auto wmClass = x.property(window, XCB_ATOM_WM_CLASS, type, gone)) {
        const auto split = wmClass->find('\0');
        if (split != std::string::npos) {
            std::string className = wmClass->substr(split + 1);
            className = className.substr(0, className.find('\0'));
            if (!className.empty()) {
                application.bundleIdentifier = className;
            }
        }
    }
    if (auto name = x.property(window, x.netName, type, gone); name && type == x.utf8) {
        application.localizedName = *name;
    } else if (auto legacy = x.property(window, XCB_ATOM_WM_NAME, type, gone); legacy && !legacy->empty()) {
        application.localizedName = type == XCB_ATOM_STRING ? utf8FromLatin1(*legacy) : *legacy;
    }
    // The window closed since the window manager named it: nothing is in front any more.
    if (gone) {
        return std::nullopt;
    }
    return application;
}

} // namespace System::Workspace
