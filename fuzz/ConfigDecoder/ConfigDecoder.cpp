#include <cstddef>
#include <cstdint>
#include <string_view>

#include <nlohmann/json.hpp>

#include "System/Json/BoundedJson.h"
#include "VuzadoDudi/Config.h"

// Whatever the bytes: reading a configuration gives a value or a ConfigError; decoding a parsed document never
// fails; and a decoded value written out and decoded again is the same value.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        const VuzadoDudi::Config config = VuzadoDudi::Config::parseJSON(bytes, 32);
        (void)config.description();
        (void)config.hash();
        if (!(config == config)) {
            __builtin_trap();
        }
    } catch (const VuzadoDudi::ConfigError&) {
    }

    if (auto json = System::Json::tryParse(bytes, 32)) {
        const VuzadoDudi::Config decoded = VuzadoDudi::Config::decode(*json);
        const VuzadoDudi::Config again = VuzadoDudi::Config::decode(decoded.encode());
        if (!(again == decoded) || again.hash() != decoded.hash()) {
            __builtin_trap();
        }
        (void)decoded.description();
        if (const auto* entries = decoded.dictionaryValue()) {
            for (const auto& [key, value] : *entries) {
                (void)decoded[key];
                (void)decoded[VuzadoDudi::Config::uncamelCase(key)];
                (void)value.boolean();
                (void)value.token();
                (void)value.get();
            }
        }
    }

    const std::string doubled = VuzadoDudi::duplicatingBOMsAfterQuotes(bytes);
    if (doubled.size() < bytes.size() || (doubled.size() - bytes.size()) % 3 != 0) {
        __builtin_trap();
    }
    return 0;
}
