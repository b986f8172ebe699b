#pragma once

#include "System/Input/KeyEvent.h"
#include "System/Input/ModifierFlags.h"

#include <bitset>
#include <cstdint>
#include <optional>
#include <vector>

namespace System::Input {

using KeySym = std::uint32_t;
using KeyCode = std::uint8_t;

namespace KeySyms {
inline constexpr KeySym noSymbol = 0;
inline constexpr KeySym v = 0x76;
inline constexpr KeySym returnKey = 0xff0d;
inline constexpr KeySym tab = 0xff09;
inline constexpr KeySym menu = 0xff67;
inline constexpr KeySym shiftL = 0xffe1;
inline constexpr KeySym shiftR = 0xffe2;
inline constexpr KeySym controlL = 0xffe3;
inline constexpr KeySym controlR = 0xffe4;
inline constexpr KeySym altL = 0xffe9;
inline constexpr KeySym altR = 0xffea;
inline constexpr KeySym superL = 0xffeb;
inline constexpr KeySym superR = 0xffec;
inline constexpr KeySym isoLevel3Shift = 0xfe03;
} // namespace KeySyms

// The keysym that types one character: Latin-1 characters are their own keysym, every other character is
// its code point in the Unicode keysym range. Line breaks and tabs give Return and Tab; other control
// characters give none.
std::optional<KeySym> keySymForCharacter(char32_t character);

// A modifier key as the dictation-key logic sees it: its virtual key code and the flags it holds down.
struct ModifierKey {
    std::uint16_t keyCode;
    ModifierFlags flags;
};

// Alt_R and ISO_Level3_Shift are right Option, Super_R right Command, Control_R right Control, Shift_R
// right Shift, Menu the fn key; the left keys likewise.
std::optional<ModifierKey> modifierKeyForKeySym(KeySym keySym);

// The server's keyboard mapping (keycode to keysyms, core protocol layout: columns 0/1 are the levels of
// the first group, 2/3 those of the second).
class KeyboardMap {
public:
    KeyboardMap() = default;
    KeyboardMap(KeyCode minKeyCode, KeyCode maxKeyCode, int keySymsPerKeyCode, std::vector<KeySym> keySyms);

    KeyCode minKeyCode() const { return min_; }
    KeyCode maxKeyCode() const { return max_; }
    // NoSymbol outside the map.
    KeySym keySym(KeyCode keyCode, int column) const;
    // True when the keycode carries no keysym at all: no key of the layout uses it.
    bool isUnused(KeyCode keyCode) const;
    // The first keycode whose keysym in the given column is the one asked for.
    std::optional<KeyCode> keyCodeFor(KeySym keySym, int column) const;
    // The modifier key behind a keycode (read from the first group's first level).
    std::optional<ModifierKey> modifierKey(KeyCode keyCode) const;
    // The modifier flags of a set of keys that are down.
    ModifierFlags flags(const std::bitset<256>& keysDown) const;

private:
    KeyCode min_ = 0;
    KeyCode max_ = 0;
    int perKeyCode_ = 0;
    std::vector<KeySym> keySyms_;
};

// Turns raw key presses and releases into key events: a modifier key reports a flag change with the flags
// of every modifier now down, any other key a key-down. Releases of ordinary keys, and repeated presses of
// a modifier that is already down, report nothing.
class ModifierTracker {
public:
    explicit ModifierTracker(const std::bitset<256>& keysDown = {})
        : down_(keysDown) {}

    std::optional<KeyEvent> handle(KeyCode keyCode, bool pressed, const KeyboardMap& map);
    ModifierFlags flags(const KeyboardMap& map) const { return map.flags(down_); }

private:
    std::bitset<256> down_;
};

} // namespace System::Input
