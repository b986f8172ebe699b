#include "TessarinPlatform/Hotkey/KeyName.h"

#include <utility>

namespace TessarinPlatform {

using TessarinCore::Hotkey;

std::string keyName(const Hotkey& hotkey) {
    // What the input layer listens to for each offered key; PC keyboards never report fn, so the Menu key
    // stands in for it.
    static const std::pair<const Hotkey*, const char*> names[]{
        {&Hotkey::function(), "Menu key"},        {&Hotkey::rightOption(), "Right Alt"},
        {&Hotkey::rightCommand(), "Right Super"}, {&Hotkey::rightControl(), "Right Ctrl"},
        {&Hotkey::rightShift(), "Right Shift"},
    };
    for (const auto& [key, name] : names) {
        if (key->keyCode == hotkey.keyCode) {
            return name;
        }
    }
    return hotkey.displayName;
}

} // namespace TessarinPlatform
