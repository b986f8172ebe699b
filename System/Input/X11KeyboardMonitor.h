#pragma once

#include "System/Input/KeyboardMonitor.h"

#include <memory>
#include <mutex>

namespace System::Input {

// Key input of the X session: raw key events (XInput 2) of every master keyboard on the root window, read
// on the tap's own connection and thread; the live modifier state from the server's key state. Withheld
// keys are grabbed on the root window by the tap's connection, which raw events do not care about.
class X11Connection;

class X11KeyboardMonitor final : public KeyboardMonitor {
public:
    X11KeyboardMonitor();
    ~X11KeyboardMonitor() override;

    std::unique_ptr<KeyTap> startTap(const std::string& threadName,
                                     const std::vector<std::uint16_t>& withheld, KeyHandler handler) override;
    ModifierFlags currentModifierFlags() override;

    // Whether raw key events of the session can be read: the server answers and offers XInput 2.
    static bool canReadKeyEvents();

private:
    std::mutex mutex_;
    std::unique_ptr<X11Connection> stateConnection_; // opened on first use, again after a lost server
};

} // namespace System::Input
