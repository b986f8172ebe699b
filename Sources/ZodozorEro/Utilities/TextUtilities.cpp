#include "ZodozorEro/Utilities/TextUtilities.h"

#include <cstdint>
#include <limits>

#include <zlib.h>

#include "VuzadoDudi/Logging.h"
#include "VuzadoDudi/Unicode.h"
#include "ZodozorEro/Core/Constants.h"

namespace ZodozorEro {

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

// The size of the raw deflate stream (no zlib header or checksum) of `bytes` at the default level, or the
// reason it could not be made.
std::size_t deflatedSize(const unsigned char* bytes, std::size_t count, std::string& failure) {
    z_stream stream{};
    if (const int status =
            deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        status != Z_OK) {
        failure = "deflateInit2 returned " + std::to_string(status);
        return 0;
    }
    std::vector<unsigned char> output(deflateBound(&stream, static_cast<uLong>(count)));
    stream.next_in = const_cast<unsigned char*>(bytes);
    stream.avail_in = static_cast<uInt>(count);
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    const int status = deflate(&stream, Z_FINISH);
    const std::size_t size = stream.total_out;
    deflateEnd(&stream);
    if (status != Z_STREAM_END) {
        failure = "deflate returned " + std::to_string(status);
        return 0;
    }
    return size;
}

float ratio(const unsigned char* bytes, std::size_t count) {
    if (count > std::numeric_limits<uInt>::max()) {
        VuzadoDudi::Logging::debug("Compression error: the input of " + std::to_string(count) +
                                   " bytes is too large to compress at once");
        return infinity;
    }
    std::string failure;
    const std::size_t compressed = deflatedSize(bytes, count, failure);
    if (!failure.empty()) {
        VuzadoDudi::Logging::debug("Compression error: " + failure);
        return infinity;
    }
    return static_cast<float>(count) / static_cast<float>(compressed);
}

} // namespace

namespace TextUtilities {

float compressionRatio(const std::vector<int>& tokens) {
    std::vector<unsigned char> bytes;
    bytes.reserve(tokens.size() * 4);
    for (int token : tokens) {
        const auto value = static_cast<std::uint32_t>(static_cast<std::int32_t>(token));
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<unsigned char>(value >> shift));
        }
    }
    return ratio(bytes.data(), bytes.size());
}

float compressionRatio(std::string_view text) {
    if (text.empty()) {
        return infinity;
    }
    return ratio(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

} // namespace TextUtilities

std::string trimmingSpecialTokenCharacters(std::string_view text) {
    const auto isSpecial = [](char c) {
        return Constants::specialTokenCharacters.find(static_cast<char32_t>(c)) != std::u32string_view::npos;
    };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isSpecial(text[begin])) {
        ++begin;
    }
    while (end > begin && isSpecial(text[end - 1])) {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string normalized(std::string_view text) {
    std::string kept;
    bool lastWasSpace = false;
    for (char32_t c : VuzadoDudi::Unicode::codePoints(VuzadoDudi::Unicode::lowercased(text))) {
        if (c == U'-') {
            c = U' ';
        } else if (VuzadoDudi::Unicode::isPunctuation(c)) {
            continue;
        }
        if (c == U' ' && lastWasSpace) {
            continue;
        }
        lastWasSpace = c == U' ';
        VuzadoDudi::Unicode::appendUTF8(kept, c);
    }
    const std::u32string points = VuzadoDudi::Unicode::codePoints(kept);
    std::size_t begin = 0;
    std::size_t end = points.size();
    while (begin < end && VuzadoDudi::Unicode::isWhitespace(points[begin])) {
        ++begin;
    }
    while (end > begin && VuzadoDudi::Unicode::isWhitespace(points[end - 1])) {
        --end;
    }
    std::string result;
    for (std::size_t i = begin; i < end; ++i) {
        VuzadoDudi::Unicode::appendUTF8(result, points[i]);
    }
    return result;
}

} // namespace ZodozorEro
