#pragma once

#include "System/Input/KeyEvent.h"
#include "System/Input/ModifierFlags.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

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

    // Starts a tap whose handler runs on a thread of its own, named threadName (cut to the 15 characters a
    // thread name can hold). Throws InputError when the session's key input cannot be read.
    //
    // The tap changes no input, with one exception: the keys among `withheld` (virtual key codes) that are
    // not modifiers to the session, such as the Menu key that stands in for fn, reach no application while
    // the tap runs, whatever locks are on; the tap still sees them. A focused application would otherwise
    // act on them (the Menu key opens a context menu, which then takes the keys meant for the text field).
    // Modifier keys always reach the applications, so shortcuts and AltGr keep working.
    virtual std::unique_ptr<KeyTap> startTap(const std::string& threadName,
                                             const std::vector<std::uint16_t>& withheld,
                                             KeyHandler handler) = 0;

    // The modifier keys that are down right now; 0 when the state cannot be read.
    virtual ModifierFlags currentModifierFlags() = 0;
};

} // namespace System::Input
