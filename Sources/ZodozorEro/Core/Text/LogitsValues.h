#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "System/ML/MultiArray.h"

// The decoder's logits as the filters and the sampler read and write them: a [1, 1, V] array of half, single
// or double precision, whichever the model gives.
namespace ZodozorEro::LogitsValues {

namespace detail {
template <class T, class Array>
auto elements(Array& logits) {
    if constexpr (std::is_const_v<Array>) {
        return logits.template values<T>();
    } else {
        return logits.template mutableValues<T>();
    }
}
} // namespace detail

// Calls `body` with the elements as a span of their own type (Half, float or double), writable when the
// array is. MultiArrayError for an array of integers.
template <class Array, class Body>
decltype(auto) visit(Array& logits, Body&& body) {
    using System::ML::MultiArrayDataType;
    switch (logits.dataType()) {
    case MultiArrayDataType::float16:
        return body(detail::elements<System::ML::Half>(logits));
    case MultiArrayDataType::float32:
        return body(detail::elements<float>(logits));
    case MultiArrayDataType::float64:
        return body(detail::elements<double>(logits));
    default:
        throw System::ML::MultiArrayError("Logits must be floating-point numbers, not " +
                                          std::string(System::ML::dataTypeName(logits.dataType())));
    }
}

// The vocabulary size V of logits shaped [1, 1, V]; MultiArrayError for any other shape.
int vocabularySize(const System::ML::MultiArray& logits);

// Minus infinity at each id of the vocabulary; ids outside it are skipped.
void suppress(System::ML::MultiArray& logits, std::span<const int> ids);
// Minus infinity at the ids lowerBound ..< upperBound, cut to the vocabulary.
void suppressRange(System::ML::MultiArray& logits, int lowerBound, int upperBound);

// One element as a float, with NaN read as minus infinity so that no comparison goes astray. Halves convert
// by their bits: without hardware half support the compiler would call a library function per element, which
// would dominate every decoding step over a full vocabulary.
inline float widened(float value) {
    return std::isnan(value) ? -std::numeric_limits<float>::infinity() : value;
}
inline float widened(double value) {
    return widened(static_cast<float>(value));
}
inline float widened(System::ML::Half half) {
    const std::uint16_t bits = half.bitPattern();
    const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000u) << 16;
    const std::uint32_t exponent = (bits >> 10) & 0x1Fu;
    const std::uint32_t mantissa = bits & 0x3FFu;
    if (exponent == 0x1F) {
        return mantissa != 0 ? -std::numeric_limits<float>::infinity()
                             : std::bit_cast<float>(sign | 0x7F800000u);
    }
    if (exponent == 0) {
        const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
        return sign ? -magnitude : magnitude;
    }
    return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

// Every element widened, into `floats` (reused between steps) or a new list.
void readAsFloats(const System::ML::MultiArray& logits, std::vector<float>& floats);
std::vector<float> readAsFloats(const System::ML::MultiArray& logits);

} // namespace ZodozorEro::LogitsValues
