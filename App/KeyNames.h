#pragma once

#include "TessarinCore/Domain/Dictation.h"
#include "TessarinCore/Domain/Hotkey.h"
#include "TessarinPlatform/Hotkey/KeyName.h"

#include <string>

namespace Parlindo {

// The names this program shows for keys and shortcuts: those printed on a PC keyboard. Stored settings keep
// the key codes and names they were written with; only what the user reads changes.

// A dictation key by its PC name ("Right Alt", "Menu key"); a key this program does not offer keeps the name
// it was stored with.
using TessarinPlatform::keyName;

// How text goes in, with the shortcut a paste sends: "Pasting (Ctrl+V)", "Typing".
std::string methodName(TessarinCore::InsertionMethod method);

// The shortcut that pastes the clipboard.
inline constexpr const char* pasteShortcut = "Ctrl+V";

} // namespace Parlindo
