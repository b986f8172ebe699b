#pragma once

#include <optional>
#include <string>

namespace TessarinPlatform {

// Secrets are stored as the UTF-8 bytes of their text: the stored bytes as text, or nothing when they are not
// well-formed UTF-8 (such a secret counts as absent).
std::optional<std::string> secretText(std::string bytes);

} // namespace TessarinPlatform
