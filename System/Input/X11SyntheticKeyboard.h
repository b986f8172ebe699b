#pragma once

#include "System/Input/KeyboardMap.h"
#include "System/Input/SyntheticKeyboard.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace System::Input {

class X11Connection;

// Synthetic key input through the XTest extension. A character that the current layout carries on a key's
// first or shifted level is typed on that key. Any other character is typed on a spare keycode (one no key
// of the layout uses) remapped to its keysym. Clients decode a key with the keyboard mapping they hold when
// they read the event, which may be well after it was sent, so remapping is kept rare: each character keeps
// its keycode while it can, the least recently pressed one is remapped first, and not within
// `reuseInterval` of its last press. The spare keycodes are emptied again when the keyboard is destroyed.
class X11SyntheticKeyboard final : public SyntheticKeyboard {
public:
    static constexpr std::chrono::milliseconds reuseInterval{100};

    X11SyntheticKeyboard();
    ~X11SyntheticKeyboard() override;

    bool canPostEvents() override;
    void postPasteShortcut() override;
    void typeText(std::u32string_view text) override;

    // Whether the X server can take synthetic key input (it answers and offers XTest).
    static bool isAvailable();

    // Fallbacks when the layout has no Control_L or no "v": the keys' positions on a PC keyboard.
    static constexpr KeyCode fallbackControlKeyCode = 37;
    static constexpr KeyCode fallbackVKeyCode = 55;

private:
    struct Assignment {
        KeyCode keyCode;
        KeySym keySym;
        std::chrono::steady_clock::time_point lastPress;
    };

    // The open connection, or none when the server cannot be reached or lacks XTest.
    X11Connection* connection();
    struct LayoutState {
        int group = 0;
        std::uint8_t heldModifiers = 0;    // keys held down: Shift or a level shift change what keys type
        std::uint8_t lockedModifiers = 0;  // Caps Lock, Num Lock and other locks
        std::uint8_t latchedModifiers = 0; // a sticky modifier waiting for the next key
    };
    LayoutState layoutState();
    // Sets the locked modifiers and drops any latched ones (XKB's LatchLockState).
    void setLocks(std::uint8_t lockedModifiers);
    void send(std::uint8_t type, KeyCode keyCode);
    // Presses and releases the key, and marks it as just used.
    void press(KeyCode keyCode);
    void remap(KeyCode keyCode, KeySym keySym);
    // A key to press, with the Shift key to hold around it for a character on the shifted level.
    struct Stroke {
        KeyCode keyCode;
        std::optional<KeyCode> shift;
    };
    // Sends the strokes once the server has taken every remap made for them.
    void flush(std::vector<Stroke>& strokes);
    std::optional<KeyCode> keyCodeTyping(KeySym keySym, std::vector<KeyCode>& spare,
                                         std::vector<Stroke>& strokes);

    std::mutex mutex_;
    std::unique_ptr<X11Connection> connection_;
    bool xkbReady_ = false;
    std::vector<Assignment> assignments_;
};

} // namespace System::Input
