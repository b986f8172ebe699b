#include "TessarinPlatform/System/SecretText.h"

#include <unicode/utf8.h>

namespace TessarinPlatform {

std::optional<std::string> secretText(std::string bytes) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const auto length = static_cast<int32_t>(bytes.size());
    if (static_cast<std::size_t>(length) != bytes.size()) {
        return std::nullopt;
    }
    for (int32_t offset = 0; offset < length;) {
        UChar32 codePoint = 0;
        U8_NEXT(data, offset, length, codePoint);
        if (codePoint < 0) {
            return std::nullopt;
        }
    }
    return bytes;
}

} // namespace TessarinPlatform
