#pragma once

#include "System/Concurrency/Duration.h"
#include "System/Concurrency/Instant.h"
#include "TessarinCore/Domain/Transcription.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

namespace TessarinCore {

using Duration = System::Concurrency::Duration;
using Instant = System::Concurrency::Instant;

// A dictation key, by the platform's virtual key code. Equal when key code and display name are equal;
// identified by the key code alone.
struct Hotkey {
    std::uint16_t keyCode = 0;
    std::string displayName;

    std::uint16_t id() const { return keyCode; }

    // The keys offered for push-to-talk.
    static const Hotkey& function();     // 63
    static const Hotkey& rightOption();  // 61
    static const Hotkey& rightCommand(); // 54
    static const Hotkey& rightControl(); // 62
    static const Hotkey& rightShift();   // 60
    // The five keys above, in that order.
    static const std::vector<Hotkey>& supported();

    bool operator==(const Hotkey&) const = default;
};

// One push-to-talk key and the language it dictates in; identified by the key code.
struct HotkeyBinding {
    Hotkey hotkey;
    DictationLanguage language = DictationLanguage::automatic;

    std::uint16_t id() const { return hotkey.id(); }

    bool operator==(const HotkeyBinding&) const = default;
};

// One report of the hotkey source.
struct HotkeyEvent {
    struct Pressed {
        Hotkey hotkey;
        Instant at;
        bool operator==(const Pressed&) const = default;
    };
    struct Released {
        Hotkey hotkey;
        Instant at;
        bool operator==(const Released&) const = default;
    };
    // Other key input while a dictation key was held.
    struct OtherInput {
        Instant at;
        bool operator==(const OtherInput&) const = default;
    };

    std::variant<Pressed, Released, OtherInput> value;

    static HotkeyEvent pressed(Hotkey hotkey, Instant at) { return {Pressed{std::move(hotkey), at}}; }
    static HotkeyEvent released(Hotkey hotkey, Instant at) { return {Released{std::move(hotkey), at}}; }
    static HotkeyEvent otherInput(Instant at) { return {OtherInput{at}}; }

    bool operator==(const HotkeyEvent&) const = default;
};

// One decision of the gesture recognizer.
struct HotkeyGesture {
    enum class CancelReason { tooShort, chord };

    struct Begin {
        Hotkey hotkey;
        Instant at; // the press
        bool operator==(const Begin&) const = default;
    };
    struct End {
        Hotkey hotkey;
        Duration heldFor;
        Instant at; // the release, or the forced end
        bool operator==(const End&) const = default;
    };
    struct Cancel {
        CancelReason reason;
        bool operator==(const Cancel&) const = default;
    };

    std::variant<Begin, End, Cancel> value;

    static HotkeyGesture begin(Hotkey hotkey, Instant at) { return {Begin{std::move(hotkey), at}}; }
    static HotkeyGesture end(Hotkey hotkey, Duration heldFor, Instant at) {
        return {End{std::move(hotkey), heldFor, at}};
    }
    static HotkeyGesture cancel(CancelReason reason) { return {Cancel{reason}}; }

    bool operator==(const HotkeyGesture&) const = default;
};

// JSON: {"keyCode": n, "displayName": text}. A supported key code always reads back with that key's
// current display name; another code keeps its stored name, or "Key <code>" when there is none.
void to_json(nlohmann::json& json, const Hotkey& hotkey);
void from_json(const nlohmann::json& json, Hotkey& hotkey);
// JSON: {"hotkey": {...}, "language": raw value}; both keys required.
void to_json(nlohmann::json& json, const HotkeyBinding& binding);
void from_json(const nlohmann::json& json, HotkeyBinding& binding);

} // namespace TessarinCore

template <>
struct std::hash<TessarinCore::Hotkey> {
    std::size_t operator()(const TessarinCore::Hotkey& hotkey) const noexcept;
};

template <>
struct std::hash<TessarinCore::HotkeyBinding> {
    std::size_t operator()(const TessarinCore::HotkeyBinding& binding) const noexcept;
};
