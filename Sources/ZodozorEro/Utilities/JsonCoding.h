#pragma once

// The coded forms of the pipeline's records. Encoding keeps fields in declaration order (ordered_json),
// writes a 32-bit float in its shortest decimal form (2.4, not 2.4000000953674316) and refuses numbers JSON
// cannot hold. Decoding is strict: a missing required key, a value of the wrong JSON type or a number that
// does not fit fails with a DecodingError whose coding path names the key ("segments[2].words[0].start").

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

#include "System/Log/ErrorDescription.h"

namespace ZodozorEro {

class DecodingError : public System::Log::DescribedError {
public:
    enum class Kind {
        keyNotFound,   // a required key is absent
        typeMismatch,  // a value of another JSON type, or a keyed enum with not exactly one case key
        dataCorrupted, // the right type but an unusable value: an unknown raw value, a number out of range
    };

    DecodingError(Kind kind, std::string codingPath, std::string debugDescription);

    Kind kind() const { return kind_; }
    // Dot-separated keys and "[index]" parts from the document's root; empty for the root itself.
    const std::string& codingPath() const { return codingPath_; }
    const std::string& debugDescription() const { return debugDescription_; }

    // The same error one level further out.
    DecodingError inside(std::string_view keyOrIndex) const;

private:
    Kind kind_;
    std::string codingPath_;
    std::string debugDescription_;
};

// A value that has no JSON form (a float that is not finite).
class EncodingError : public System::Log::DescribedError {
public:
    using DescribedError::DescribedError;
};

namespace JsonCoding {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// The shortest decimal that reads back as `value`; EncodingError naming `key` when it is not finite.
OrderedJson encodeFloat(float value, std::string_view key);
OrderedJson encodeDouble(double value, std::string_view key);

// The object itself; a typeMismatch naming what was expected otherwise.
const Json& requireObject(const Json& value, std::string_view typeName);

// Runs `body`, putting `keyOrIndex` in front of the path of any DecodingError it throws.
template <class Body>
auto withPathComponent(std::string_view keyOrIndex, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const DecodingError& error) {
        throw error.inside(keyOrIndex);
    }
}

// Scalars. A float takes any JSON number that fits a 32-bit float; an integer takes an integral number that
// fits (1.0 reads as 1, 1.5 does not).
void decodeValue(const Json& json, bool& value);
void decodeValue(const Json& json, std::string& value);
void decodeValue(const Json& json, float& value);
void decodeValue(const Json& json, double& value);
void decodeValue(const Json& json, int& value);
void decodeValue(const Json& json, std::int64_t& value);

// An object key written as a decimal integer ("50257").
int decodeIntegerKey(std::string_view key);

template <class T>
T decode(const Json& json);

template <class T>
void decodeValue(const Json& json, std::vector<T>& values) {
    if (!json.is_array()) {
        throw DecodingError(DecodingError::Kind::typeMismatch, {},
                            std::string("Expected an array but found ") + json.type_name());
    }
    values.clear();
    values.reserve(json.size());
    for (std::size_t i = 0; i < json.size(); ++i) {
        values.push_back(
            withPathComponent("[" + std::to_string(i) + "]", [&] { return decode<T>(json[i]); }));
    }
}

template <class V>
void decodeValue(const Json& json, std::map<std::string, V>& values) {
    if (!json.is_object()) {
        throw DecodingError(DecodingError::Kind::typeMismatch, {},
                            std::string("Expected an object but found ") + json.type_name());
    }
    values.clear();
    for (const auto& [key, element] : json.items()) {
        values.emplace(key, withPathComponent(key, [&] { return decode<V>(element); }));
    }
}

template <class V>
void decodeValue(const Json& json, std::map<int, V>& values) {
    if (!json.is_object()) {
        throw DecodingError(DecodingError::Kind::typeMismatch, {},
                            std::string("Expected an object but found ") + json.type_name());
    }
    values.clear();
    for (const auto& [key, element] : json.items()) {
        withPathComponent(key, [&] { values.emplace(decodeIntegerKey(key), decode<V>(element)); });
    }
}

// Types of this module decode through their own static `decode(const Json&)`.
template <class T>
T decode(const Json& json) {
    if constexpr (requires {
                      { T::decode(json) } -> std::same_as<T>;
                  }) {
        return T::decode(json);
    } else {
        T value{};
        decodeValue(json, value);
        return value;
    }
}

// The error of a required key that is absent.
DecodingError keyNotFound(std::string_view key);

// A key that must be present; null is a typeMismatch like any other wrong type.
template <class T>
T decodeRequired(const Json& object, std::string_view key) {
    const auto it = object.find(key);
    if (it == object.end()) {
        throw keyNotFound(key);
    }
    return withPathComponent(key, [&] { return decode<T>(*it); });
}

// A key that may be absent or null: then nothing.
template <class T>
std::optional<T> decodeIfPresent(const Json& object, std::string_view key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::nullopt;
    }
    return withPathComponent(key, [&] { return decode<T>(*it); });
}

// Lists of floats keep the shortest form of each element.
OrderedJson encodeFloats(const std::vector<float>& values, std::string_view key);

} // namespace JsonCoding
} // namespace ZodozorEro
