#pragma once

#include "System/Input/KeyboardMap.h"

#include <xcb/xcb.h>

#include <memory>
#include <string>

namespace System::Input {

// One connection to the X server named by $DISPLAY. xcb connections may be used from any thread.
class X11Connection {
public:
    // Throws InputError(displayUnavailable) when no server answers.
    X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    xcb_connection_t* get() const { return connection_.get(); }
    xcb_window_t root() const { return root_; }
    bool hasError() const;
    // Waits until the server has handled every request sent so far.
    void sync() const;
    // Reads the whole keyboard mapping; an empty map when the server does not answer.
    KeyboardMap keyboardMap() const;
    // The state of every key (one bit per keycode).
    std::bitset<256> keysDown() const;

    static std::string displayName();

private:
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> connection_;
    xcb_window_t root_ = 0;
};

} // namespace System::Input
