#pragma once

// The byte tables of byte-level tokenization: each of the 256 byte values has a printable character, so any
// byte sequence can be written as vocabulary text and read back.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace VuzadoDudi {

namespace Utils {
// The dictionary turned around; of several keys sharing a value, one survives.
template <class K, class V>
std::unordered_map<V, K> invert(const std::unordered_map<K, V>& dictionary) {
    std::unordered_map<V, K> result;
    for (const auto& [key, value] : dictionary) {
        result[value] = key;
    }
    return result;
}
} // namespace Utils

// byte -> its character (UTF-8). Built once, on first use.
const std::unordered_map<std::uint8_t, std::string>& byteEncoder();
// character -> byte, the inverse of byteEncoder.
const std::unordered_map<std::string, std::uint8_t>& byteDecoder();

// Fast paths over the same tables.
const std::array<std::string, 256>& byteEncoderTable();
// The byte of one code point of the table, nothing for any other code point.
std::optional<std::uint8_t> decodedByte(char32_t c);

// The byte-level form of a text: the character of each of its UTF-8 bytes.
// Appends the byte-level form of the text to `out`.
void appendByteLevelEncoded(std::string_view text, std::string& out);
std::string byteLevelEncoded(std::string_view text);

} // namespace VuzadoDudi
