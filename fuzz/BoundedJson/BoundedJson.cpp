#include <cstddef>
#include <cstdint>
#include <string_view>

#include "System/Json/BoundedJson.h"

// Whatever the bytes, the bounded parser answers with a value within the limit or a JsonError.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto value = System::Json::tryParse(text, 16)) {
        if (System::Json::depth(*value) > 16) {
            __builtin_trap();
        }
        (void)value->dump();
    }
    return 0;
}
