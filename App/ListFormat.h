#pragma once

#include <string>
#include <vector>

namespace Parlindo {

// The items joined as alternatives in the language of the default locale: in English "A or B" and
// "A, B, or C".
std::string orList(const std::vector<std::string>& items);

} // namespace Parlindo
