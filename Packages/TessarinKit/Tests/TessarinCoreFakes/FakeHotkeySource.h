#pragma once

#include "TessarinCore/Ports/HotkeyEventSource.h"

#include <exception>
#include <optional>
#include <vector>

namespace TessarinCore::Fakes {

// A hotkey source whose key events the test sends. Like the real one, its stream keeps the newest 128
// events and ends when monitoring stops.
class FakeHotkeySource final : public HotkeyEventSource {
public:
    // The keys of every start, in order.
    std::vector<std::vector<Hotkey>> starts;
    int stops = 0;
    // While set, start throws it.
    std::exception_ptr startError;

    System::Concurrency::AsyncStream<HotkeyEvent> start(std::vector<Hotkey> monitoring) override;
    void stop() override;

    bool isMonitoring() const { return events_.has_value(); }
    // Delivers an event to the current stream; false when not monitoring.
    bool send(HotkeyEvent event);
    bool press(const Hotkey& hotkey, Instant at) { return send(HotkeyEvent::pressed(hotkey, at)); }
    bool release(const Hotkey& hotkey, Instant at) { return send(HotkeyEvent::released(hotkey, at)); }
    bool otherInput(Instant at) { return send(HotkeyEvent::otherInput(at)); }

private:
    std::optional<System::Concurrency::AsyncStream<HotkeyEvent>::Continuation> events_;
};

} // namespace TessarinCore::Fakes
