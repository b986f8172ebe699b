#include "VuzadoDudi/BinaryDistinctString.h"

#include <cstdio>

#include "System/Log/Logger.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

std::size_t hashCodeUnits(std::u16string_view units) {
    // FNV-1a over the count and then the units.
    std::uint64_t h = 14695981039346656037ull;
    auto feed = [&h](std::uint64_t word) {
        h ^= word;
        h *= 1099511628211ull;
    };
    feed(units.size());
    for (const char16_t unit : units) {
        feed(unit);
    }
    return static_cast<std::size_t>(h ^ (h >> 29));
}

BinaryDistinctCharacter::BinaryDistinctCharacter(std::string_view text)
    : bytes(Unicode::toUTF16(text)) {}

std::string BinaryDistinctCharacter::description() const {
    std::string out = "BinaryDistinctCharacter('" + Unicode::toUTF8(bytes) + "', bytes: [";
    bool first = true;
    for (const char16_t unit : bytes) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "0x%02X", static_cast<unsigned>(unit));
        out += first ? "\"" : ", \"";
        out += buffer;
        out += "\"";
        first = false;
    }
    out += "])";
    return out;
}

BinaryDistinctString::BinaryDistinctString(std::string_view text)
    : value_(Unicode::toUTF16(text)) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters) {
    for (const auto& character : characters) {
        value_ += character.bytes;
    }
}

std::string BinaryDistinctString::string() const { return Unicode::toUTF8(value_); }

std::size_t BinaryDistinctString::count() const { return Unicode::characterCount(std::u16string_view(value_)); }

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& prefix) const {
    return prefix.value_.size() <= value_.size() && value_.compare(0, prefix.value_.size(), prefix.value_) == 0;
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& suffix) const {
    return suffix.value_.size() <= value_.size() &&
           value_.compare(value_.size() - suffix.value_.size(), suffix.value_.size(), suffix.value_) == 0;
}

BinaryDistinctString BinaryDistinctString::lowercased() const {
    return BinaryDistinctString(Unicode::lowercased(std::u16string_view(value_)));
}

BinaryDistinctString BinaryDistinctString::replacingOccurrences(const BinaryDistinctString& target,
                                                                const BinaryDistinctString& replacement) const {
    // The platform's search compares characters by canonical equivalence: search the NFD forms, cutting only
    // at character boundaries of the receiver.
    if (target.empty()) {
        return *this;
    }
    const std::string needle = Unicode::normalized(target.string(), Unicode::NormalizationForm::nfd);
    const std::string text = string();
    const auto characters = Unicode::characters(text);
    std::string out;
    std::size_t i = 0;
    while (i < characters.size()) {
        std::string candidate;
        std::size_t j = i;
        bool matched = false;
        while (j < characters.size() && candidate.size() < needle.size() * 4 + 4) {
            candidate += Unicode::normalized(characters[j], Unicode::NormalizationForm::nfd);
            ++j;
            if (candidate == needle) {
                matched = true;
                break;
            }
            if (needle.compare(0, candidate.size(), candidate) != 0) {
                break;
            }
        }
        if (matched) {
            out += replacement.string();
            i = j;
        } else {
            out += characters[i];
            ++i;
        }
    }
    return BinaryDistinctString(out);
}

std::ptrdiff_t BinaryDistinctString::index(std::ptrdiff_t index, std::ptrdiff_t offsetBy) const {
    const std::ptrdiff_t result = index + offsetBy;
    if (result < 0 || result > static_cast<std::ptrdiff_t>(count())) {
        System::Log::fatalError("Index out of bounds");
    }
    return result;
}

std::optional<std::ptrdiff_t> BinaryDistinctString::index(std::ptrdiff_t index, std::ptrdiff_t offsetBy,
                                                          std::ptrdiff_t limitedBy) const {
    const std::ptrdiff_t result = index + offsetBy;
    if (result > limitedBy) {
        return std::nullopt;
    }
    return result;
}

BinaryDistinctString BinaryDistinctString::slice(std::ptrdiff_t lower, std::ptrdiff_t upper) const {
    if (lower < 0 || upper < lower || upper > static_cast<std::ptrdiff_t>(value_.size())) {
        System::Log::fatalError("Index out of bounds");
    }
    return BinaryDistinctString(value_.substr(static_cast<std::size_t>(lower), static_cast<std::size_t>(upper - lower)));
}

std::vector<BinaryDistinctCharacter> BinaryDistinctString::characters() const {
    std::vector<BinaryDistinctCharacter> out;
    for (const auto& [begin, end] : Unicode::characterRanges(value_)) {
        out.emplace_back(value_.substr(begin, end - begin));
    }
    return out;
}

std::size_t BinaryDistinctString::hash() const { return hashCodeUnits(value_); }

} // namespace VuzadoDudi
