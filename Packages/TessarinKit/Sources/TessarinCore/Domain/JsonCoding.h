#pragma once

// Strict JSON decoding on top of nlohmann-json: a wrong type, an unknown raw value or a missing required
// key fails with a DecodingError whose coding path names the key (e.g. "bindings[1].hotkey.keyCode").

#include "System/Concurrency/Duration.h"
#include "System/Log/ErrorDescription.h"
#include "TessarinCore/Domain/RawValue.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace TessarinCore {

class DecodingError : public System::Log::DescribedError {
public:
    // codingPath is empty when the problem is the document itself.
    DecodingError(std::string codingPath, std::string problem);

    const std::string& codingPath() const { return codingPath_; }
    const std::string& problem() const { return problem_; }

    // The same error one level further out: the key (or "[index]") is put in front of the path.
    DecodingError inside(std::string_view keyOrIndex) const;

private:
    std::string codingPath_;
    std::string problem_;
};

namespace Json {

using nlohmann::json;

// Decodes a whole value as T through its from_json; nlohmann's own errors become DecodingErrors.
template <typename T>
T decode(const json& value);

// Fails unless the value is a JSON object.
void requireObject(const json& value);

// True when the key is absent or holds null.
bool isMissing(const json& object, std::string_view key);

// A key that must be present and not null.
template <typename T>
T decodeRequired(const json& object, std::string_view key);

// A key that may be absent or null (then nothing).
template <typename T>
std::optional<T> decodeIfPresent(const json& object, std::string_view key);

// An integer JSON number that fits T; fractions, other types and out-of-range numbers fail.
template <typename T>
T decodeInteger(const json& value);

template <typename F>
auto withPathComponent(std::string_view keyOrIndex, F&& body) -> decltype(body());

} // namespace Json

// The stored form of a raw-value enum is its raw value string; any other string fails.
template <RawRepresentable E>
void to_json(nlohmann::json& json, E value) {
    json = std::string(rawValue(value));
}

template <RawRepresentable E>
void from_json(const nlohmann::json& json, E& value) {
    if (!json.is_string()) {
        throw DecodingError({}, std::string("expected a string but found ") + json.type_name());
    }
    const auto& raw = json.get_ref<const std::string&>();
    const std::optional<E> decoded = fromRawValue<E>(raw);
    if (!decoded) {
        throw DecodingError({}, "\"" + raw + "\" is not a known value");
    }
    value = *decoded;
}

namespace Json {

template <typename F>
auto withPathComponent(std::string_view keyOrIndex, F&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const DecodingError& error) {
        throw error.inside(keyOrIndex);
    }
}

template <typename T>
struct IsVector : std::false_type {};
template <typename E>
struct IsVector<std::vector<E>> : std::true_type {};

template <typename T>
T decode(const json& value) {
    if constexpr (IsVector<T>::value) {
        // Element by element, so an error names the index ("bindings[1].language").
        if (!value.is_array()) {
            throw DecodingError({}, std::string("expected an array but found ") + value.type_name());
        }
        T elements;
        elements.reserve(value.size());
        for (std::size_t i = 0; i < value.size(); ++i) {
            elements.push_back(withPathComponent("[" + std::to_string(i) + "]",
                                                 [&] { return decode<typename T::value_type>(value[i]); }));
        }
        return elements;
    }
    try {
        return value.get<T>();
    } catch (const nlohmann::json::exception& error) {
        // nlohmann prefixes its messages with "[json.exception.<kind>] ": keep only the sentence.
        std::string message = error.what();
        if (const auto end = message.find("] ");
            !message.empty() && message.front() == '[' && end != std::string::npos) {
            message.erase(0, end + 2);
        }
        throw DecodingError({}, message);
    }
}

template <typename T>
T decodeRequired(const json& object, std::string_view key) {
    const auto it = object.find(key);
    if (it == object.end()) {
        throw DecodingError(std::string(key), "the key is missing");
    }
    return withPathComponent(key, [&] { return decode<T>(*it); });
}

template <typename T>
std::optional<T> decodeIfPresent(const json& object, std::string_view key) {
    if (isMissing(object, key)) {
        return std::nullopt;
    }
    return withPathComponent(key, [&] { return decode<T>(object.at(key)); });
}

template <typename T>
T decodeInteger(const json& value) {
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number <= static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
            return static_cast<T>(number);
        }
        throw DecodingError({}, std::to_string(number) + " is out of range");
    }
    if (value.is_number_integer()) {
        const auto number = value.get<std::int64_t>();
        if constexpr (std::numeric_limits<T>::is_signed) {
            if (number >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
                number <= static_cast<std::int64_t>(std::numeric_limits<T>::max())) {
                return static_cast<T>(number);
            }
        } else if (number >= 0 && static_cast<std::uint64_t>(number) <= std::numeric_limits<T>::max()) {
            return static_cast<T>(number);
        }
        throw DecodingError({}, std::to_string(number) + " is out of range");
    }
    throw DecodingError({}, std::string("expected an integer but found ") +
                                (value.is_number_float() ? "a fraction" : value.type_name()));
}

} // namespace Json
} // namespace TessarinCore

// A duration is stored as [high, low]: its 128-bit attosecond count is high * 2^64 + low.
template <>
struct nlohmann::adl_serializer<System::Concurrency::Duration> {
    static void to_json(json& json, const System::Concurrency::Duration& duration);
    static System::Concurrency::Duration from_json(const json& json);
};
