#pragma once

// Closed vocabularies that are stored or logged by a text raw value. Each such enum specialises
// RawValues<E> with its cases in declared order; rawValue, fromRawValue, allCases and the JSON coding
// (JsonCoding.h) all read that one table.

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace TessarinCore {

template <typename E>
struct RawValues; // static constexpr std::array<std::pair<E, std::string_view>, N> cases

template <typename E>
concept RawRepresentable = std::is_enum_v<E> && requires {
    RawValues<E>::cases;
};

template <RawRepresentable E>
constexpr std::string_view rawValue(E value) {
    for (const auto& [candidate, raw] : RawValues<E>::cases) {
        if (candidate == value) {
            return raw;
        }
    }
    return {};
}

// Raw values are matched exactly (case-sensitive); an unknown text gives nothing.
template <RawRepresentable E>
constexpr std::optional<E> fromRawValue(std::string_view raw) {
    for (const auto& [candidate, text] : RawValues<E>::cases) {
        if (text == raw) {
            return candidate;
        }
    }
    return std::nullopt;
}

template <RawRepresentable E>
constexpr auto allCases() {
    constexpr auto& cases = RawValues<E>::cases;
    std::array<E, cases.size()> result{};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        result[i] = cases[i].first;
    }
    return result;
}

} // namespace TessarinCore
