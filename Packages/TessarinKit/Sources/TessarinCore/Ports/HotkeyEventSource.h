#pragma once

#include "System/Concurrency/AsyncStream.h"
#include "TessarinCore/Domain/Hotkey.h"

#include <vector>

namespace TessarinCore {

// Reports presses and releases of the watched dictation keys, and other input while one is held.
class HotkeyEventSource {
public:
    virtual ~HotkeyEventSource() = default;

    // Starts monitoring exactly these keys and returns a fresh stream of their events. Throws when keyboard
    // monitoring cannot be set up (input monitoring not granted).
    virtual System::Concurrency::AsyncStream<HotkeyEvent> start(std::vector<Hotkey> monitoring) = 0;
    // Ends monitoring; start may be called again afterwards.
    virtual void stop() = 0;
};

} // namespace TessarinCore
