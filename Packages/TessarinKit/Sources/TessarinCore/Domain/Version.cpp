#include "TessarinCore/Domain/Version.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <vector>

namespace TessarinCore {

namespace {

std::int64_t pieceValue(std::string_view piece) {
    if (!piece.empty() && piece.front() == '+') {
        piece.remove_prefix(1);
        if (!piece.empty() && piece.front() == '-') {
            return 0;
        }
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    const bool whole = error == std::errc() && end == piece.data() + piece.size();
    return whole ? value : 0;
}

std::vector<std::int64_t> pieces(std::string_view version) {
    std::vector<std::int64_t> values;
    while (!version.empty()) {
        const auto dot = version.find('.');
        const auto piece = version.substr(0, dot);
        if (!piece.empty()) {
            values.push_back(pieceValue(piece));
        }
        version.remove_prefix(dot == std::string_view::npos ? version.size() : dot + 1);
    }
    return values;
}

} // namespace

bool isVersion(std::string_view a, std::string_view olderThan) {
    const auto left = pieces(a);
    const auto right = pieces(olderThan);
    for (std::size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        const std::int64_t x = i < left.size() ? left[i] : 0;
        const std::int64_t y = i < right.size() ? right[i] : 0;
        if (x != y) {
            return x < y;
        }
    }
    return false;
}

} // namespace TessarinCore
