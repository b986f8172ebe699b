#pragma once

// How tokenizer components read their keys: a Boolean reading with a default, a text only from a string.

#include <optional>
#include <string>

#include "VuzadoDudi/Config.h"

namespace VuzadoDudi::ConfigReading {

inline bool flag(const Config& config, const BinaryDistinctString& key, bool fallback) {
    const auto value = config[key].boolean();
    return value ? *value : fallback;
}

inline std::optional<std::string> text(const Config& config, const BinaryDistinctString& key) {
    return config[key].string();
}

// The "type" text of a component's configuration; nothing without a configuration or a text "type".
inline std::optional<std::string> type(const Config* config) {
    return config != nullptr ? (*config)["type"].string() : std::nullopt;
}

} // namespace VuzadoDudi::ConfigReading
