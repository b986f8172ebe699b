#include "System/Input/X11SyntheticKeyboard.h"

#include "System/Input/InputError.h"
#include "System/Input/X11Connection.h"

// xkb.h names a member `explicit`, which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xtest.h>

#include <algorithm>
#include <thread>

namespace System::Input {

namespace {
bool hasXTest(const X11Connection& connection) {
    const auto* extension = xcb_get_extension_data(connection.get(), &xcb_test_id);
    return extension && extension->present;
}
} // namespace

X11SyntheticKeyboard::X11SyntheticKeyboard() = default;

X11SyntheticKeyboard::~X11SyntheticKeyboard() {
    std::lock_guard lock(mutex_);
    if (!connection_ || connection_->hasError()) {
        return;
    }
    const auto map = connection_->keyboardMap();
    for (const auto& assignment : assignments_) {
        if (map.keySym(assignment.keyCode, 0) == assignment.keySym) {
            remap(assignment.keyCode, KeySyms::noSymbol);
        }
    }
    connection_->sync();
}

bool X11SyntheticKeyboard::isAvailable() {
    try {
        X11Connection connection;
        return hasXTest(connection);
    } catch (const InputError&) {
        return false;
    }
}

X11Connection* X11SyntheticKeyboard::connection() {
    if (connection_ && !connection_->hasError()) {
        return connection_.get();
    }
    connection_.reset();
    assignments_.clear();
    xkbReady_ = false;
    try {
        auto connection = std::make_unique<X11Connection>();
        if (hasXTest(*connection)) {
            connection_ = std::move(connection);
        }
    } catch (const InputError&) {
    }
    return connection_.get();
}

bool X11SyntheticKeyboard::canPostEvents() {
    std::lock_guard lock(mutex_);
    return connection() != nullptr;
}

X11SyntheticKeyboard::LayoutState X11SyntheticKeyboard::layoutState() {
    auto* c = connection_->get();
    if (!xkbReady_) {
        auto* use = xcb_xkb_use_extension_reply(
            c, xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION), nullptr);
        xkbReady_ = use && use->supported;
        std::free(use);
        if (!xkbReady_) {
            return {};
        }
    }
    auto* state = xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr);
    LayoutState result;
    if (state) {
        result.group = state->group;
        result.heldModifiers = state->baseMods;
        result.lockedModifiers = state->lockedMods;
        result.latchedModifiers = state->latchedMods;
    }
    std::free(state);
    return result;
}

void X11SyntheticKeyboard::setLocks(std::uint8_t lockedModifiers) {
    constexpr std::uint8_t allModifiers = 0xff;
    // The request's latch value is a padding byte in xcb's description of it, which xcb sends as 0.
    xcb_xkb_latch_lock_state(connection_->get(), XCB_XKB_ID_USE_CORE_KBD, allModifiers, lockedModifiers, 0, 0,
                             allModifiers, 0, 0);
}

void X11SyntheticKeyboard::send(std::uint8_t type, KeyCode keyCode) {
    xcb_test_fake_input(connection_->get(), type, keyCode, XCB_CURRENT_TIME, connection_->root(), 0, 0, 0);
}

void X11SyntheticKeyboard::press(KeyCode keyCode) {
    send(XCB_KEY_PRESS, keyCode);
    send(XCB_KEY_RELEASE, keyCode);
    for (auto& assignment : assignments_) {
        if (assignment.keyCode == keyCode) {
            assignment.lastPress = std::chrono::steady_clock::now();
        }
    }
}

void X11SyntheticKeyboard::remap(KeyCode keyCode, KeySym keySym) {
    // Both levels carry the keysym, so a Shift that happens to be down does not change the character.
    const xcb_keysym_t keySyms[2] = {keySym, keySym};
    xcb_change_keyboard_mapping(connection_->get(), 1, keyCode, 2, keySyms);
}

void X11SyntheticKeyboard::postPasteShortcut() {
    std::lock_guard lock(mutex_);
    if (!connection()) {
        return;
    }
    const auto map = connection_->keyboardMap();
    // The core mapping holds two levels per group: the group's unshifted keysym is in column 2 * group.
    const KeyCode v = map.keyCodeFor(KeySyms::v, 2 * layoutState().group).value_or(fallbackVKeyCode);
    const KeyCode control = map.keyCodeFor(KeySyms::controlL, 0).value_or(fallbackControlKeyCode);
    send(XCB_KEY_PRESS, control);
    press(v);
    send(XCB_KEY_RELEASE, control);
    connection_->sync();
}

void X11SyntheticKeyboard::flush(std::vector<Stroke>& strokes) {
    if (strokes.empty()) {
        return;
    }
    // Every remap has to reach the server, and its notice go out to the clients, before the keys that need
    // it are sent: a client that saw a key before the notice would read it with the old mapping.
    connection_->sync();
    for (const auto& stroke : strokes) {
        if (stroke.shift) {
            send(XCB_KEY_PRESS, *stroke.shift);
        }
        press(stroke.keyCode);
        if (stroke.shift) {
            send(XCB_KEY_RELEASE, *stroke.shift);
        }
    }
    strokes.clear();
    connection_->sync();
}

std::optional<KeyCode> X11SyntheticKeyboard::keyCodeTyping(KeySym keySym, std::vector<KeyCode>& spare,
                                                           std::vector<Stroke>& strokes) {
    auto held = std::find_if(assignments_.begin(), assignments_.end(),
                             [&](const Assignment& a) { return a.keySym == keySym; });
    if (held != assignments_.end()) {
        return held->keyCode;
    }
    if (!spare.empty()) {
        const KeyCode keyCode = spare.back();
        spare.pop_back();
        remap(keyCode, keySym);
        assignments_.push_back({keyCode, keySym, {}});
        return keyCode;
    }
    if (assignments_.empty()) {
        return std::nullopt;
    }
    // Every keycode is taken: the keys waiting to be sent go first, then the least recently pressed keycode
    // changes hands once its reuse interval has passed.
    flush(strokes);
    auto oldest =
        std::min_element(assignments_.begin(), assignments_.end(),
                         [](const Assignment& a, const Assignment& b) { return a.lastPress < b.lastPress; });
    std::this_thread::sleep_until(oldest->lastPress + reuseInterval);
    remap(oldest->keyCode, keySym);
    oldest->keySym = keySym;
    return oldest->keyCode;
}

void X11SyntheticKeyboard::typeText(std::u32string_view text) {
    std::lock_guard lock(mutex_);
    if (text.empty() || !connection()) {
        return;
    }
    const auto map = connection_->keyboardMap();
    // Someone else may have changed a keycode this keyboard had taken: it is no longer ours to use.
    std::erase_if(assignments_, [&](const Assignment& a) { return map.keySym(a.keyCode, 0) != a.keySym; });
    std::vector<KeyCode> spare;
    for (int code = map.maxKeyCode(); code >= map.minKeyCode(); --code) {
        const bool taken = std::any_of(assignments_.begin(), assignments_.end(),
                                       [&](const Assignment& a) { return a.keyCode == code; });
        if (!taken && map.isUnused(KeyCode(code))) {
            spare.push_back(KeyCode(code));
        }
    }
    // Caps Lock would make clients raise the case of every letter, whatever key carries it, and a latched
    // modifier would apply to the first key: locks and latches are off while the keys go out, and the locks
    // come back afterwards. The server applies both in order with the keys, so each key event carries the
    // state it was typed in.
    const auto layout = layoutState();
    const bool clearsLocks = xkbReady_ && (layout.lockedModifiers != 0 || layout.latchedModifiers != 0);
    if (clearsLocks) {
        setLocks(0);
    }
    // The core mapping shows the first two groups' two levels; keys of other groups, or with a modifier
    // held down, would type something else, so those characters take spare keycodes, which carry their
    // keysym on every level.
    const bool useLayout = layout.group <= 1 && layout.heldModifiers == 0;
    const auto shiftKey = map.keyCodeFor(KeySyms::shiftL, 0);
    std::vector<Stroke> strokes;
    for (char32_t character : text) {
        const auto keySym = keySymForCharacter(character);
        if (!keySym) {
            continue;
        }
        if (useLayout) {
            if (auto key = map.keyCodeFor(*keySym, 2 * layout.group)) {
                strokes.push_back({*key, std::nullopt});
                continue;
            }
            if (auto key = map.keyCodeFor(*keySym, 2 * layout.group + 1); key && shiftKey) {
                strokes.push_back({*key, shiftKey});
                continue;
            }
        }
        if (const auto keyCode = keyCodeTyping(*keySym, spare, strokes)) {
            strokes.push_back({*keyCode, std::nullopt});
        }
    }
    flush(strokes);
    if (clearsLocks) {
        setLocks(layout.lockedModifiers);
        connection_->sync();
    }
}

} // namespace System::Input
