#pragma once

#include "System/Input/ModifierFlags.h"

#include <cstdint>

namespace System::Input {

// One key input seen by a key tap. Modifier keys report flag changes (with the modifier state after the
// change); every other key reports key-downs only.
struct KeyEvent {
    enum class Type { keyDown, flagsChanged };

    Type type = Type::keyDown;
    std::uint16_t keyCode = VirtualKey::other;
    ModifierFlags flags = 0;

    bool operator==(const KeyEvent&) const = default;
};

} // namespace System::Input
