#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace VuzadoDudi {

// A random (version 4) identifier, as the decoding tasks use to key their stop flags.
struct UUID {
    std::array<std::uint8_t, 16> bytes{};

    // A fresh random identifier.
    static UUID random();
    // The canonical upper-case form, 8-4-4-4-12 hexadecimal digits.
    std::string uuidString() const;

    bool operator==(const UUID&) const = default;
};

} // namespace VuzadoDudi

template <>
struct std::hash<VuzadoDudi::UUID> {
    std::size_t operator()(const VuzadoDudi::UUID& id) const noexcept {
        std::uint64_t h = 0;
        for (const auto byte : id.bytes) {
            h = h * 131 + byte;
        }
        return static_cast<std::size_t>(h);
    }
};
