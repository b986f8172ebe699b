#pragma once

#include <string_view>

namespace System::Input {

// Posts key input as if it came from the keyboard, into whatever window has the focus.
class SyntheticKeyboard {
public:
    virtual ~SyntheticKeyboard() = default;

    // Whether this process can post key input.
    virtual bool canPostEvents() = 0;
    // Presses and releases the paste shortcut: Control with the key that types "v" in the current layout.
    virtual void postPasteShortcut() = 0;
    // Types the text character by character. Characters no key can carry (control characters other than
    // line breaks and tabs) are left out.
    virtual void typeText(std::u32string_view text) = 0;
};

} // namespace System::Input
