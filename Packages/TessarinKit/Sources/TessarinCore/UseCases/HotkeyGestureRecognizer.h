#pragma once

#include "TessarinCore/Domain/Hotkey.h"

#include <optional>
#include <variant>

namespace TessarinCore {

// Turns the hotkey source's raw key reports into push-to-talk gestures: begin on a press, end on the release
// of the same key after a long enough hold, cancel when the hold was too short or another key joined in. It
// has no clock: every instant comes from the events, or from the caller of forceEnd.
class HotkeyGestureRecognizer {
public:
    explicit HotkeyGestureRecognizer(Duration minimumHold)
        : minimumHold(minimumHold) {}

    // A release earlier than this after the press cancels as too short; read at the release.
    Duration minimumHold;

    std::optional<HotkeyGesture> handle(const HotkeyEvent& event);
    // Ends a running hold from outside (the maximum recording length), without the minimum-hold test. The
    // later release of that key is absorbed, so one long press never gives two ends.
    std::optional<HotkeyGesture> forceEnd(Instant at);
    void reset() { phase_ = Idle{}; }
    bool isHolding() const { return std::holds_alternative<Holding>(phase_); }

private:
    struct Idle {};
    struct Holding {
        Hotkey hotkey;
        Instant since;
    };
    // The dictation of this key was cancelled by a chord or ended by force: wait for the key to come up.
    struct AwaitingRelease {
        Hotkey hotkey;
    };

    std::optional<HotkeyGesture> pressed(const HotkeyEvent::Pressed& press);
    std::optional<HotkeyGesture> released(const HotkeyEvent::Released& release);
    std::optional<HotkeyGesture> otherInput();

    std::variant<Idle, Holding, AwaitingRelease> phase_;
};

} // namespace TessarinCore
