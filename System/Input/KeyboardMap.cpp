#include "System/Input/KeyboardMap.h"

#include <array>
#include <utility>

namespace System::Input {

std::optional<KeySym> keySymForCharacter(char32_t character) {
    if (character == U'\n' || character == U'\r') {
        return KeySyms::returnKey;
    }
    if (character == U'\t') {
        return KeySyms::tab;
    }
    if (character < 0x20 || (character >= 0x7f && character < 0xa0) || character > 0x10ffff ||
        (character >= 0xd800 && character < 0xe000)) {
        return std::nullopt;
    }
    if (character <= 0xff) {
        return KeySym(character);
    }
    return KeySym(0x01000000 | character);
}

std::optional<ModifierKey> modifierKeyForKeySym(KeySym keySym) {
    using namespace ModifierFlag;
    static constexpr std::array<std::pair<KeySym, ModifierKey>, 10> table{{
        {KeySyms::controlL, {VirtualKey::leftControl, leftControl | control}},
        {KeySyms::controlR, {VirtualKey::rightControl, rightControl | control}},
        {KeySyms::shiftL, {VirtualKey::leftShift, leftShift | shift}},
        {KeySyms::shiftR, {VirtualKey::rightShift, rightShift | shift}},
        {KeySyms::superL, {VirtualKey::leftCommand, leftCommand | command}},
        {KeySyms::superR, {VirtualKey::rightCommand, rightCommand | command}},
        {KeySyms::altL, {VirtualKey::leftOption, leftOption | option}},
        {KeySyms::altR, {VirtualKey::rightOption, rightOption | option}},
        {KeySyms::isoLevel3Shift, {VirtualKey::rightOption, rightOption | option}},
        {KeySyms::menu, {VirtualKey::function, function}},
    }};
    for (const auto& [sym, key] : table) {
        if (sym == keySym) {
            return key;
        }
    }
    return std::nullopt;
}

KeyboardMap::KeyboardMap(KeyCode minKeyCode, KeyCode maxKeyCode, int keySymsPerKeyCode,
                         std::vector<KeySym> keySyms)
    : min_(minKeyCode)
    , max_(maxKeyCode)
    , perKeyCode_(keySymsPerKeyCode)
    , keySyms_(std::move(keySyms)) {}

KeySym KeyboardMap::keySym(KeyCode keyCode, int column) const {
    if (keyCode < min_ || keyCode > max_ || column < 0 || column >= perKeyCode_) {
        return KeySyms::noSymbol;
    }
    const auto index = std::size_t(keyCode - min_) * std::size_t(perKeyCode_) + std::size_t(column);
    return index < keySyms_.size() ? keySyms_[index] : KeySyms::noSymbol;
}

bool KeyboardMap::isUnused(KeyCode keyCode) const {
    if (keyCode < min_ || keyCode > max_) {
        return false;
    }
    for (int column = 0; column < perKeyCode_; ++column) {
        if (keySym(keyCode, column) != KeySyms::noSymbol) {
            return false;
        }
    }
    return true;
}

std::optional<KeyCode> KeyboardMap::keyCodeFor(KeySym wanted, int column) const {
    if (perKeyCode_ == 0) {
        return std::nullopt;
    }
    for (int code = min_; code <= max_; ++code) {
        if (keySym(KeyCode(code), column) == wanted) {
            return KeyCode(code);
        }
    }
    return std::nullopt;
}

std::optional<ModifierKey> KeyboardMap::modifierKey(KeyCode keyCode) const {
    return modifierKeyForKeySym(keySym(keyCode, 0));
}

ModifierFlags KeyboardMap::flags(const std::bitset<256>& keysDown) const {
    ModifierFlags result = 0;
    for (std::size_t code = 0; code < keysDown.size(); ++code) {
        if (keysDown.test(code)) {
            if (auto key = modifierKey(KeyCode(code))) {
                result |= key->flags;
            }
        }
    }
    return result;
}

std::optional<KeyEvent> ModifierTracker::handle(KeyCode keyCode, bool pressed, const KeyboardMap& map) {
    auto modifier = map.modifierKey(keyCode);
    if (!modifier) {
        if (!pressed) {
            return std::nullopt;
        }
        return KeyEvent{KeyEvent::Type::keyDown, VirtualKey::other, map.flags(down_)};
    }
    if (pressed && down_.test(keyCode)) {
        return std::nullopt;
    }
    down_.set(keyCode, pressed);
    return KeyEvent{KeyEvent::Type::flagsChanged, modifier->keyCode, map.flags(down_)};
}

} // namespace System::Input
