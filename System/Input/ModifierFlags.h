#pragma once

#include <cstdint>

namespace System::Input {

// The modifier state of the keyboard as event flags: one device-dependent bit per physical modifier key
// and one bit per kind of modifier that the left and right key share. The values are those the stored
// dictation-key settings were written against, so the hotkey logic reads them unchanged. On a PC keyboard
// Command is the Super key, Option is Alt (or AltGr on the right) and function is the Menu key.
using ModifierFlags = std::uint64_t;

namespace ModifierFlag {
inline constexpr ModifierFlags leftControl = 0x1;
inline constexpr ModifierFlags leftShift = 0x2;
inline constexpr ModifierFlags rightShift = 0x4;
inline constexpr ModifierFlags leftCommand = 0x8;
inline constexpr ModifierFlags rightCommand = 0x10;
inline constexpr ModifierFlags leftOption = 0x20;
inline constexpr ModifierFlags rightOption = 0x40;
inline constexpr ModifierFlags rightControl = 0x2000;

inline constexpr ModifierFlags shift = 0x20000;
inline constexpr ModifierFlags control = 0x40000;
inline constexpr ModifierFlags option = 0x80000;
inline constexpr ModifierFlags command = 0x100000;
inline constexpr ModifierFlags function = 0x800000;
} // namespace ModifierFlag

// Virtual key codes of the modifier keys, in the numbering the stored settings use.
namespace VirtualKey {
inline constexpr std::uint16_t rightCommand = 54;
inline constexpr std::uint16_t leftCommand = 55;
inline constexpr std::uint16_t leftShift = 56;
inline constexpr std::uint16_t leftOption = 58;
inline constexpr std::uint16_t leftControl = 59;
inline constexpr std::uint16_t rightShift = 60;
inline constexpr std::uint16_t rightOption = 61;
inline constexpr std::uint16_t rightControl = 62;
inline constexpr std::uint16_t function = 63;
// Every key outside the modifier table reports this code.
inline constexpr std::uint16_t other = 0xFFFF;
} // namespace VirtualKey

} // namespace System::Input
