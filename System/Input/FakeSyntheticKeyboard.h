#pragma once

#include "System/Input/SyntheticKeyboard.h"

#include <string>
#include <vector>

namespace System::Input {

// Records what would have been posted.
class FakeSyntheticKeyboard final : public SyntheticKeyboard {
public:
    bool canPostEvents() override { return allowed; }
    void postPasteShortcut() override { ++pasteShortcuts; }
    void typeText(std::u32string_view text) override { typed.emplace_back(text); }

    bool allowed = true;
    int pasteShortcuts = 0;
    std::vector<std::u32string> typed; // one entry per call
};

} // namespace System::Input
