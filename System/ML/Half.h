#pragma once

#include "System/ML/MultiArrayDataType.h"

#include <bit>
#include <cstdint>

namespace System::ML {

// A 16-bit IEEE float. It stores half precision and computes in float: every operator converts to float, so a
// chain of operations rounds once at the end, where the result is stored back into a Half.
struct Half {
    _Float16 storage{};

    static constexpr MultiArrayDataType multiArrayDataType = MultiArrayDataType::float16;

    constexpr Half() = default;
    constexpr Half(float value)
        : storage(static_cast<_Float16>(value)) {}
    constexpr operator float() const { return static_cast<float>(storage); }

    std::uint16_t bitPattern() const { return std::bit_cast<std::uint16_t>(storage); }
    static Half fromBitPattern(std::uint16_t bits) {
        Half half;
        half.storage = std::bit_cast<_Float16>(bits);
        return half;
    }

    Half& operator+=(float other) { return *this = float(*this) + other; }
    Half& operator-=(float other) { return *this = float(*this) - other; }
    Half& operator*=(float other) { return *this = float(*this) * other; }
    Half& operator/=(float other) { return *this = float(*this) / other; }
};

static_assert(sizeof(Half) == 2);

template <>
struct ElementTypeOf<Half> {
    static constexpr MultiArrayDataType dataType = MultiArrayDataType::float16;
};

} // namespace System::ML
