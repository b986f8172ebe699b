#pragma once

#include <cstdint>
#include <xcb/xcb.h>

// Presses and releases keys through XTest, as a user at the keyboard would.
class FakeKeys {
public:
    FakeKeys();
    ~FakeKeys();
    FakeKeys(const FakeKeys&) = delete;
    FakeKeys& operator=(const FakeKeys&) = delete;

    // The first keycode that carries the keysym (first group, first level); fails the test when none does.
    std::uint8_t keyCode(std::uint32_t keySym) const;
    void press(std::uint32_t keySym) const { send(XCB_KEY_PRESS, keyCode(keySym)); }
    void release(std::uint32_t keySym) const { send(XCB_KEY_RELEASE, keyCode(keySym)); }
    void tap(std::uint32_t keySym) const {
        press(keySym);
        release(keySym);
    }
    // Returns once the server has handled every key sent so far.
    void sync() const;

private:
    void send(std::uint8_t type, std::uint8_t keyCode) const;
    xcb_connection_t* connection_;
    xcb_window_t root_;
};
