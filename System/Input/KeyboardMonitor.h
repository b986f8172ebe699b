#pragma once

#include "System/Input/KeyEvent.h"
#include "System/Input/ModifierFlags.h"

#include <functional>
#include <memory>
#include <string>

namespace System::Input {

using KeyHandler = std::function<void(const KeyEvent&)>;

// A running tap. Destroying it stops the tap: once the destructor returns, the handler is not called again
// (unless the tap is destroyed from inside its own handler, where the call in progress finishes first).
class KeyTap {
public:
    virtual ~KeyTap() = default;
};

// Watches the keyboard of the whole session without consuming or changing any input.
class KeyboardMonitor {
public:
    virtual ~KeyboardMonitor() = default;

    // Starts a listen-only tap whose handler runs on a thread of its own, named threadName (cut to the
    // 15 characters a thread name can hold). Throws InputError when the session's key input cannot be read.
    virtual std::unique_ptr<KeyTap> startTap(const std::string& threadName, KeyHandler handler) = 0;

    // The modifier keys that are down right now; 0 when the state cannot be read.
    virtual ModifierFlags currentModifierFlags() = 0;
};

} // namespace System::Input
