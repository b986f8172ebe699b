#include "VuzadoDudi/UUID.h"

#include <cstdio>
#include <mutex>
#include <random>

namespace VuzadoDudi {

UUID UUID::random() {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    UUID id;
    {
        std::lock_guard lock(mutex);
        for (std::size_t i = 0; i < 16; i += 8) {
            const std::uint64_t word = generator();
            for (std::size_t j = 0; j < 8; ++j) {
                id.bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
            }
        }
    }
    id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0F) | 0x40);
    id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3F) | 0x80);
    return id;
}

std::string UUID::uuidString() const {
    std::string out;
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out += '-';
        }
        char buffer[3];
        std::snprintf(buffer, sizeof buffer, "%02X", bytes[i]);
        out += buffer;
    }
    return out;
}

} // namespace VuzadoDudi
