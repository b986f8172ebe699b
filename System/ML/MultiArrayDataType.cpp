#include "System/ML/MultiArrayDataType.h"

#include <array>
#include <utility>

namespace System::ML {

namespace {
constexpr std::array<std::pair<MultiArrayDataType, std::string_view>, 5> kNames{{
    {MultiArrayDataType::float16, "float16"},
    {MultiArrayDataType::float32, "float32"},
    {MultiArrayDataType::float64, "float64"},
    {MultiArrayDataType::int32, "int32"},
    {MultiArrayDataType::int8, "int8"},
}};
} // namespace

std::optional<MultiArrayDataType> dataTypeFromRawValue(std::int32_t raw) {
    for (const auto& [type, name] : kNames) {
        if (rawValue(type) == raw) {
            return type;
        }
    }
    return std::nullopt;
}

std::string_view dataTypeName(MultiArrayDataType type) {
    for (const auto& [candidate, name] : kNames) {
        if (candidate == type) {
            return name;
        }
    }
    return "unknown";
}

std::optional<MultiArrayDataType> dataTypeFromName(std::string_view name) {
    for (const auto& [type, candidate] : kNames) {
        if (candidate == name) {
            return type;
        }
    }
    return std::nullopt;
}

} // namespace System::ML
