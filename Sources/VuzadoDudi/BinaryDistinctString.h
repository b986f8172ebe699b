#pragma once

// Text told apart by its exact UTF-16 code units: vocabulary entries and configuration keys that differ only in
// Unicode composition (a precomposed é and e + U+0301) stay distinct. Equality, ordering and hashing look at the
// code units alone; only the operations that speak of characters go through ICU.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace VuzadoDudi {

// One user-perceived character (an extended grapheme cluster) as its UTF-16 code units.
struct BinaryDistinctCharacter {
    std::u16string bytes;

    BinaryDistinctCharacter() = default;
    explicit BinaryDistinctCharacter(std::u16string units)
        : bytes(std::move(units)) {}
    // From UTF-8 text.
    BinaryDistinctCharacter(const char* text)
        : BinaryDistinctCharacter(std::string_view(text)) {}
    explicit BinaryDistinctCharacter(std::string_view text);

    // BinaryDistinctCharacter('A', bytes: ["0x41"])
    std::string description() const;

    bool operator==(const BinaryDistinctCharacter&) const = default;
};

class BinaryDistinctString {
public:
    BinaryDistinctString() = default;
    explicit BinaryDistinctString(std::u16string units)
        : value_(std::move(units)) {}
    explicit BinaryDistinctString(std::u16string_view units)
        : value_(units) {}
    // From UTF-8 text (a string literal, a std::string).
    BinaryDistinctString(const char* text)
        : BinaryDistinctString(std::string_view(text)) {}
    BinaryDistinctString(const std::string& text)
        : BinaryDistinctString(std::string_view(text)) {}
    BinaryDistinctString(std::string_view text);
    explicit BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters);

    const std::u16string& value() const { return value_; }
    // The text as UTF-8; `description` is the same text.
    std::string string() const;
    std::string description() const { return string(); }
    // Characters (extended grapheme clusters), not code units.
    std::size_t count() const;
    std::size_t endIndex() const { return count(); }
    std::size_t codeUnitCount() const { return value_.size(); }
    bool empty() const { return value_.empty(); }

    friend bool operator==(const BinaryDistinctString&, const BinaryDistinctString&) = default;
    // Unsigned lexicographic order of the code units (so U+10000, whose lead surrogate is 0xD800, sorts before
    // U+FF61, the reverse of UTF-8 byte order).
    friend std::strong_ordering operator<=>(const BinaryDistinctString& a, const BinaryDistinctString& b) {
        return a.value_.compare(b.value_) <=> 0;
    }

    friend BinaryDistinctString operator+(const BinaryDistinctString& a, const BinaryDistinctString& b) {
        return BinaryDistinctString(a.value_ + b.value_);
    }

    bool hasPrefix(const BinaryDistinctString& prefix) const;
    bool hasSuffix(const BinaryDistinctString& suffix) const;
    BinaryDistinctString lowercased() const;
    // Canonically equivalent occurrences match, as the platform's text search does.
    BinaryDistinctString replacingOccurrences(const BinaryDistinctString& target,
                                              const BinaryDistinctString& replacement) const;

    // index + offset; stops the program with "Index out of bounds" when that falls outside 0...count.
    std::ptrdiff_t index(std::ptrdiff_t index, std::ptrdiff_t offsetBy) const;
    // index + offset, or nothing when that passes `limitedBy`.
    std::optional<std::ptrdiff_t> index(std::ptrdiff_t index, std::ptrdiff_t offsetBy, std::ptrdiff_t limitedBy) const;

    // The code units [lower, upper), counted in UTF-16 positions. Bounds outside 0...codeUnitCount, or
    // lower > upper, stop the program with "Index out of bounds".
    BinaryDistinctString slice(std::ptrdiff_t lower, std::ptrdiff_t upper) const;
    BinaryDistinctString slice(std::ptrdiff_t lower) const { return slice(lower, static_cast<std::ptrdiff_t>(value_.size())); }

    // The characters, each as its code units.
    std::vector<BinaryDistinctCharacter> characters() const;

    std::size_t hash() const;

private:
    std::u16string value_;
};

// The hash of code units shared by both types: the count, then every unit.
std::size_t hashCodeUnits(std::u16string_view units);

template <class V>
using BinaryDistinctDictionary = std::unordered_map<BinaryDistinctString, V>;

// Merges `other` into `target`: a key present on both sides keeps strategy(current, incoming).
template <class V, class Key, class Strategy>
void merge(BinaryDistinctDictionary<V>& target, const std::unordered_map<Key, V>& other, Strategy strategy) {
    for (const auto& [key, incoming] : other) {
        BinaryDistinctString converted(key);
        auto found = target.find(converted);
        if (found == target.end()) {
            target.emplace(std::move(converted), incoming);
        } else {
            found->second = strategy(found->second, incoming);
        }
    }
}

template <class V, class Key, class Strategy>
BinaryDistinctDictionary<V> merging(const BinaryDistinctDictionary<V>& target, const std::unordered_map<Key, V>& other,
                                    Strategy strategy) {
    BinaryDistinctDictionary<V> copy = target;
    merge(copy, other, strategy);
    return copy;
}

} // namespace VuzadoDudi

template <>
struct std::hash<VuzadoDudi::BinaryDistinctString> {
    std::size_t operator()(const VuzadoDudi::BinaryDistinctString& s) const noexcept { return s.hash(); }
};

template <>
struct std::hash<VuzadoDudi::BinaryDistinctCharacter> {
    std::size_t operator()(const VuzadoDudi::BinaryDistinctCharacter& c) const noexcept {
        return VuzadoDudi::hashCodeUnits(c.bytes);
    }
};
