#include "VuzadoDudi/External/Tokenizers/ByteEncoder.h"

#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

namespace {

// Printable bytes stand for themselves; the other 68, in ascending order, take U+0100 onwards.
std::array<char32_t, 256> makeCodePoints() {
    std::array<char32_t, 256> table{};
    char32_t next = 0x100;
    for (int b = 0; b < 256; ++b) {
        const bool printable = (b >= 33 && b <= 126) || (b >= 161 && b <= 172) || (b >= 174 && b <= 255);
        table[static_cast<std::size_t>(b)] = printable ? static_cast<char32_t>(b) : next++;
    }
    return table;
}

const std::array<char32_t, 256>& codePoints() {
    static const std::array<char32_t, 256> table = makeCodePoints();
    return table;
}

const std::array<std::int16_t, 0x144>& reverseTable() {
    static const std::array<std::int16_t, 0x144> table = [] {
        std::array<std::int16_t, 0x144> t;
        t.fill(-1);
        for (int b = 0; b < 256; ++b) {
            t[codePoints()[static_cast<std::size_t>(b)]] = static_cast<std::int16_t>(b);
        }
        return t;
    }();
    return table;
}

} // namespace

const std::array<std::string, 256>& byteEncoderTable() {
    static const std::array<std::string, 256> table = [] {
        std::array<std::string, 256> t;
        for (std::size_t b = 0; b < 256; ++b) {
            Unicode::appendUTF8(t[b], codePoints()[b]);
        }
        return t;
    }();
    return table;
}

const std::unordered_map<std::uint8_t, std::string>& byteEncoder() {
    static const std::unordered_map<std::uint8_t, std::string> table = [] {
        std::unordered_map<std::uint8_t, std::string> t;
        for (std::size_t b = 0; b < 256; ++b) {
            t.emplace(static_cast<std::uint8_t>(b), byteEncoderTable()[b]);
        }
        return t;
    }();
    return table;
}

const std::unordered_map<std::string, std::uint8_t>& byteDecoder() {
    static const std::unordered_map<std::string, std::uint8_t> table = Utils::invert(byteEncoder());
    return table;
}

std::optional<std::uint8_t> decodedByte(char32_t c) {
    if (c >= reverseTable().size() || reverseTable()[c] < 0) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(reverseTable()[c]);
}

void appendByteLevelEncoded(std::string_view text, std::string& out) {
    const auto& table = byteEncoderTable();
    for (const char c : text) {
        out += table[static_cast<unsigned char>(c)];
    }
}

std::string byteLevelEncoded(std::string_view text) {
    // The exact size: most pieces are short enough to stay in the string itself, which a guess of two bytes
    // per byte would spoil.
    std::size_t size = 0;
    for (const char c : text) {
        size += byteEncoderTable()[static_cast<unsigned char>(c)].size();
    }
    std::string out;
    out.reserve(size);
    appendByteLevelEncoded(text, out);
    return out;
}

} // namespace VuzadoDudi
