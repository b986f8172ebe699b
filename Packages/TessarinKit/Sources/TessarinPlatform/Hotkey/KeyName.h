#pragma once

#include "TessarinCore/Domain/Hotkey.h"

#include <string>

namespace TessarinPlatform {

// A dictation key by the name printed on a PC keyboard ("Right Alt", "Menu key"), as the program shows and
// logs it; a key the program does not offer keeps the name it was stored with. Stored settings keep the key
// codes and names they were written with.
std::string keyName(const TessarinCore::Hotkey& hotkey);

} // namespace TessarinPlatform
