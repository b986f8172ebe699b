#include "System/Input/X11Connection.h"

#include "System/Input/InputError.h"

#include <cstdlib>

namespace System::Input {

std::string X11Connection::displayName() {
    const char* name = std::getenv("DISPLAY");
    return name ? name : "";
}

X11Connection::X11Connection()
    : connection_(nullptr, xcb_disconnect) {
    int screenNumber = 0;
    connection_.reset(xcb_connect(nullptr, &screenNumber));
    if (xcb_connection_has_error(connection_.get())) {
        throw InputError(InputError::Kind::displayUnavailable, displayName());
    }
    auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_.get()));
    for (int i = 0; i < screenNumber && it.rem > 0; ++i) {
        xcb_screen_next(&it);
    }
    if (it.rem == 0) {
        throw InputError(InputError::Kind::displayUnavailable, displayName());
    }
    root_ = it.data->root;
}

bool X11Connection::hasError() const {
    return xcb_connection_has_error(connection_.get()) != 0;
}

void X11Connection::sync() const {
    std::free(xcb_get_input_focus_reply(get(), xcb_get_input_focus(get()), nullptr));
}

KeyboardMap X11Connection::keyboardMap() const {
    const auto* setup = xcb_get_setup(get());
    const KeyCode min = setup->min_keycode;
    const KeyCode max = setup->max_keycode;
    auto* reply = xcb_get_keyboard_mapping_reply(
        get(), xcb_get_keyboard_mapping(get(), min, std::uint8_t(max - min + 1)), nullptr);
    if (!reply) {
        return {};
    }
    const auto* syms = xcb_get_keyboard_mapping_keysyms(reply);
    std::vector<KeySym> keySyms(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply));
    KeyboardMap map(min, max, reply->keysyms_per_keycode, std::move(keySyms));
    std::free(reply);
    return map;
}

std::bitset<256> X11Connection::keysDown() const {
    std::bitset<256> down;
    auto* reply = xcb_query_keymap_reply(get(), xcb_query_keymap(get()), nullptr);
    if (!reply) {
        return down;
    }
    for (std::size_t code = 0; code < 256; ++code) {
        if (reply->keys[code / 8] & (1u << (code % 8))) {
            down.set(code);
        }
    }
    std::free(reply);
    return down;
}

} // namespace System::Input
