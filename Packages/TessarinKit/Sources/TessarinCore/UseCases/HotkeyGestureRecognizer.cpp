#include "TessarinCore/UseCases/HotkeyGestureRecognizer.h"

#include "TessarinCore/Domain/Overloaded.h"

namespace TessarinCore {

std::optional<HotkeyGesture> HotkeyGestureRecognizer::handle(const HotkeyEvent& event) {
    return std::visit(Overloaded{
                          [&](const HotkeyEvent::Pressed& press) { return pressed(press); },
                          [&](const HotkeyEvent::Released& release) { return released(release); },
                          [&](const HotkeyEvent::OtherInput&) { return otherInput(); },
                      },
                      event.value);
}

std::optional<HotkeyGesture> HotkeyGestureRecognizer::pressed(const HotkeyEvent::Pressed& press) {
    if (const auto* holding = std::get_if<Holding>(&phase_)) {
        if (holding->hotkey == press.hotkey) {
            return std::nullopt; // a repeated press keeps the first press instant
        }
        // A second dictation key is a chord like any other key; it starts nothing of its own.
        phase_ = AwaitingRelease{holding->hotkey};
        return HotkeyGesture::cancel(HotkeyGesture::CancelReason::chord);
    }
    phase_ = Holding{press.hotkey, press.at};
    return HotkeyGesture::begin(press.hotkey, press.at);
}

std::optional<HotkeyGesture> HotkeyGestureRecognizer::released(const HotkeyEvent::Released& release) {
    if (const auto* holding = std::get_if<Holding>(&phase_)) {
        if (holding->hotkey != release.hotkey) {
            return std::nullopt;
        }
        const Hotkey hotkey = holding->hotkey;
        const Duration heldFor = release.at - holding->since;
        phase_ = Idle{};
        if (heldFor < minimumHold) {
            return HotkeyGesture::cancel(HotkeyGesture::CancelReason::tooShort);
        }
        return HotkeyGesture::end(hotkey, heldFor, release.at);
    }
    if (const auto* awaiting = std::get_if<AwaitingRelease>(&phase_);
        awaiting && awaiting->hotkey == release.hotkey) {
        phase_ = Idle{};
    }
    return std::nullopt;
}

std::optional<HotkeyGesture> HotkeyGestureRecognizer::otherInput() {
    if (const auto* holding = std::get_if<Holding>(&phase_)) {
        phase_ = AwaitingRelease{holding->hotkey};
        return HotkeyGesture::cancel(HotkeyGesture::CancelReason::chord);
    }
    return std::nullopt;
}

std::optional<HotkeyGesture> HotkeyGestureRecognizer::forceEnd(Instant at) {
    const auto* holding = std::get_if<Holding>(&phase_);
    if (!holding) {
        return std::nullopt;
    }
    const Hotkey hotkey = holding->hotkey;
    const Duration heldFor = at - holding->since;
    phase_ = AwaitingRelease{hotkey};
    return HotkeyGesture::end(hotkey, heldFor, at);
}

} // namespace TessarinCore
