#include "App/KeyNames.h"

#include <utility>

namespace Parlindo {

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

std::string methodName(TessarinCore::InsertionMethod method) {
    switch (method) {
    case TessarinCore::InsertionMethod::paste:
        return std::string("Pasting (") + pasteShortcut + ")";
    case TessarinCore::InsertionMethod::type:
        return "Typing";
    }
    return {};
}

} // namespace Parlindo
