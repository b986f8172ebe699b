#pragma once

// The dynamic JSON value through which tokenizer and model configuration files are read. Keys are
// BinaryDistinctString, so keys differing only in Unicode composition stay two keys. Integers, floats and
// booleans stay apart. Dictionaries and arrays are immutable and shared between copies, so handing a section of
// a large document (a 50,000-entry vocabulary) around copies a pointer, not the section.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "System/Log/ErrorDescription.h"
#include "VuzadoDudi/BinaryDistinctString.h"

namespace VuzadoDudi {

class ConfigError : public System::Log::DescribedError {
public:
    using DescribedError::DescribedError;
};

class Config {
public:
    enum class Kind { string, integer, boolean, floating, dictionary, array, token, null };

    struct Token {
        std::uint64_t id = 0;
        BinaryDistinctString text;
        bool operator==(const Token&) const = default;
    };
    using Dictionary = std::unordered_map<BinaryDistinctString, Config>;
    using Array = std::vector<Config>;

    Config() = default; // null
    Config(std::nullptr_t) {}
    Config(BinaryDistinctString text)
        : data_(std::move(text)) {}
    Config(const char* text)
        : data_(BinaryDistinctString(text)) {}
    Config(const std::string& text)
        : data_(BinaryDistinctString(text)) {}
    Config(std::string_view text)
        : data_(BinaryDistinctString(text)) {}
    Config(int value)
        : data_(static_cast<std::int64_t>(value)) {}
    Config(std::int64_t value)
        : data_(value) {}
    Config(bool value)
        : data_(value) {}
    Config(float value)
        : data_(value) {}
    Config(double value)
        : data_(static_cast<float>(value)) {}
    Config(Token token)
        : data_(std::move(token)) {}
    Config(Array elements)
        : data_(std::make_shared<const Array>(std::move(elements))) {}
    Config(Dictionary entries)
        : data_(std::make_shared<const Dictionary>(std::move(entries))) {}

    // The literal forms: a later pair whose key equals an earlier key replaces it.
    static Config dictionary(std::initializer_list<std::pair<BinaryDistinctString, Config>> pairs);
    static Config array(std::initializer_list<Config> elements);

    Kind kind() const { return static_cast<Kind>(data_.index()); }
    bool isNull() const { return kind() == Kind::null; }

    // Case tests: the payload when the value is of that case, else nothing.
    const BinaryDistinctString* binaryString() const { return std::get_if<BinaryDistinctString>(&data_); }
    std::optional<std::string> string() const;
    std::optional<std::int64_t> integer() const;
    std::optional<float> floating() const;
    const Dictionary* dictionaryValue() const;
    const Array* arrayValue() const;

    // true for a boolean true, the integer 1, and the texts "true", "t", "1" (any case); false for a boolean
    // false, any other integer, and "false", "f", "0"; nothing otherwise.
    std::optional<bool> boolean() const;
    // The texts of the string elements of an array, in order; nothing for a value that is no array.
    std::optional<std::vector<std::string>> get() const;
    // A token, or a two-element array of a text and a non-negative integer.
    std::optional<std::pair<std::uint64_t, std::string>> token() const;

    // The entry under `key`, else under uncamelCase(key); null when neither exists or this is no dictionary.
    // The reference lives as long as this value.
    const Config& operator[](const BinaryDistinctString& key) const;
    // As operator[], but nullptr when this is no dictionary (a dictionary yields null for a missing key).
    const Config* member(const BinaryDistinctString& key) const;

    // "addedTokens" -> "added_tokens"; a run of capitals gets one underscore before it.
    static BinaryDistinctString uncamelCase(const BinaryDistinctString& key);

    friend bool operator==(const Config& a, const Config& b);
    std::size_t hash() const;
    std::string description() const;

    // Writes the value as JSON; ConfigError for a float JSON cannot hold (infinity, NaN).
    nlohmann::json encode() const;
    // Reads any JSON value, never failing: integer, then float, then boolean, then text; then a
    // [unsigned, text] pair as a token; then an array; then a dictionary; else null.
    static Config decode(const nlohmann::json& json);

    // Converts a parsed document: objects become dictionaries keyed by their UTF-16 code units, arrays arrays,
    // texts strings, integers integers, floats floats, booleans booleans, null null. A number outside the
    // single-precision range is refused with ConfigError rather than turned into infinity.
    static Config convertToBinaryDistinctKeys(const nlohmann::json& json);

    // Parses the bytes of a configuration file (depth-limited) and converts them. The bytes are parsed as they
    // are: a byte-order mark just after a quote stays part of the text. ConfigError for anything that is not
    // JSON, including a \u escape of an unpaired surrogate.
    static Config parseJSON(std::string_view bytes, std::size_t maxDepth = 256);

private:
    static Config containerOf(const nlohmann::json& json, Config (*element)(const nlohmann::json&));

    using Data = std::variant<BinaryDistinctString, std::int64_t, bool, float, std::shared_ptr<const Dictionary>,
                              std::shared_ptr<const Array>, Token, std::monostate>;
    Data data_{std::monostate{}};
};

// The byte rule of readers that drop a byte-order mark following a quote: every mark right after a double
// quote is written twice, so such a reader keeps one.
std::string duplicatingBOMsAfterQuotes(std::string_view bytes);

} // namespace VuzadoDudi

template <>
struct std::hash<VuzadoDudi::Config> {
    std::size_t operator()(const VuzadoDudi::Config& c) const noexcept { return c.hash(); }
};
