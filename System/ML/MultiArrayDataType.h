#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace System::ML {

// Element types of arrays, with the stored type codes (the low 16 bits are the element's width in bits).
enum class MultiArrayDataType : std::int32_t {
    float16 = 0x10000 | 16,
    float32 = 0x10000 | 32,
    float64 = 0x10000 | 64,
    int32 = 0x20000 | 32,
    int8 = 0x20000 | 8,
};

constexpr std::int32_t rawValue(MultiArrayDataType type) {
    return static_cast<std::int32_t>(type);
}
std::optional<MultiArrayDataType> dataTypeFromRawValue(std::int32_t raw);

constexpr std::size_t elementSize(MultiArrayDataType type) {
    return static_cast<std::size_t>(rawValue(type) & 0xFFFF) / 8;
}

// "float16", "float32", "float64", "int32", "int8": the names model descriptions are written with.
std::string_view dataTypeName(MultiArrayDataType type);
std::optional<MultiArrayDataType> dataTypeFromName(std::string_view name);

// The C++ element type of each data type: Half, float, double, std::int32_t, std::int8_t.
template <class T>
struct ElementTypeOf;

template <class T>
concept MultiArrayElement = requires {
    ElementTypeOf<T>::dataType;
};

template <>
struct ElementTypeOf<float> {
    static constexpr MultiArrayDataType dataType = MultiArrayDataType::float32;
};
template <>
struct ElementTypeOf<double> {
    static constexpr MultiArrayDataType dataType = MultiArrayDataType::float64;
};
template <>
struct ElementTypeOf<std::int32_t> {
    static constexpr MultiArrayDataType dataType = MultiArrayDataType::int32;
};
template <>
struct ElementTypeOf<std::int8_t> {
    static constexpr MultiArrayDataType dataType = MultiArrayDataType::int8;
};

} // namespace System::ML
