#include "FakeKeys.h"

#include <xcb/xtest.h>

#include <cstdlib>
#include <stdexcept>

FakeKeys::FakeKeys()
    : connection_(xcb_connect(nullptr, nullptr)) {
    if (xcb_connection_has_error(connection_)) {
        throw std::runtime_error("FakeKeys: cannot connect to the X display");
    }
    root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
}

FakeKeys::~FakeKeys() {
    xcb_disconnect(connection_);
}

std::uint8_t FakeKeys::keyCode(std::uint32_t keySym) const {
    const auto* setup = xcb_get_setup(connection_);
    const int count = setup->max_keycode - setup->min_keycode + 1;
    auto* reply = xcb_get_keyboard_mapping_reply(
        connection_, xcb_get_keyboard_mapping(connection_, setup->min_keycode, std::uint8_t(count)), nullptr);
    if (!reply) {
        throw std::runtime_error("FakeKeys: no keyboard mapping");
    }
    const auto* syms = xcb_get_keyboard_mapping_keysyms(reply);
    std::uint8_t found = 0;
    for (int i = 0; i < count && found == 0; ++i) {
        if (syms[i * reply->keysyms_per_keycode] == keySym) {
            found = std::uint8_t(setup->min_keycode + i);
        }
    }
    std::free(reply);
    if (found == 0) {
        throw std::runtime_error("FakeKeys: no key carries keysym " + std::to_string(keySym));
    }
    return found;
}

void FakeKeys::send(std::uint8_t type, std::uint8_t keyCode) const {
    xcb_test_fake_input(connection_, type, keyCode, XCB_CURRENT_TIME, root_, 0, 0, 0);
    xcb_flush(connection_);
}

void FakeKeys::sync() const {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
}
