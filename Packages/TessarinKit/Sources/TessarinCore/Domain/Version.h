#pragma once

#include <string_view>

namespace TessarinCore {

// True when version `a` is older than `b`. Both are split at "."; empty pieces are dropped; each piece is a
// signed decimal number, and one that is not (3-beta, rc1) or does not fit counts as 0, as does a piece one
// version lacks. The first position where the numbers differ decides: 1.9 is older than 1.10, 1.2 and 1.2.0
// are the same version.
bool isVersion(std::string_view a, std::string_view olderThan);

} // namespace TessarinCore
