#include "ZodozorEro/Utilities/JsonCoding.h"

#include "System/Json/CodingPath.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace ZodozorEro {

namespace {

std::string kindText(DecodingError::Kind kind) {
    switch (kind) {
    case DecodingError::Kind::keyNotFound:
        return "A required key is missing";
    case DecodingError::Kind::typeMismatch:
        return "A value has the wrong type";
    case DecodingError::Kind::dataCorrupted:
        return "A value is not valid";
    }
    return "The data is not valid";
}

std::string describe(DecodingError::Kind kind, const std::string& codingPath,
                     const std::string& debugDescription) {
    std::string text = kindText(kind);
    if (!codingPath.empty()) {
        text += " at \"" + codingPath + "\"";
    }
    return text + ": " + debugDescription;
}

std::string numberText(const nlohmann::json& json) {
    return json.dump();
}

[[noreturn]] void typeMismatch(const char* expected, const nlohmann::json& json) {
    throw DecodingError(DecodingError::Kind::typeMismatch, {},
                        std::string("Expected ") + expected + " but found " + json.type_name());
}

// The integral value of a JSON number, when it has one that fits T.
template <class T>
T decodeInteger(const nlohmann::json& json) {
    if (!json.is_number()) {
        typeMismatch("an integer", json);
    }
    const auto doesNotFit = [&]() -> DecodingError {
        return DecodingError(DecodingError::Kind::dataCorrupted, {},
                             "Parsed JSON number <" + numberText(json) + "> does not fit in an integer.");
    };
    if (json.is_number_unsigned()) {
        const auto number = json.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
            throw doesNotFit();
        }
        return static_cast<T>(number);
    }
    if (json.is_number_integer()) {
        const auto number = json.get<std::int64_t>();
        if (number < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
            number > static_cast<std::int64_t>(std::numeric_limits<T>::max())) {
            throw doesNotFit();
        }
        return static_cast<T>(number);
    }
    const double number = json.get<double>();
    // Both bounds are powers of two, so they are exact as doubles; the upper one is exclusive.
    const double lower = static_cast<double>(std::numeric_limits<T>::min());
    const double upper = -lower;
    if (!(number >= lower && number < upper) || std::trunc(number) != number) {
        throw doesNotFit();
    }
    return static_cast<T>(number);
}

} // namespace

DecodingError::DecodingError(Kind kind, std::string codingPath, std::string debugDescription)
    : DescribedError(describe(kind, codingPath, debugDescription))
    , kind_(kind)
    , codingPath_(std::move(codingPath))
    , debugDescription_(std::move(debugDescription)) {}

DecodingError DecodingError::inside(std::string_view keyOrIndex) const {
    return DecodingError(kind_, System::Json::codingPathInside(keyOrIndex, codingPath_), debugDescription_);
}

namespace JsonCoding {

OrderedJson encodeFloat(float value, std::string_view key) {
    if (!std::isfinite(value)) {
        throw EncodingError("Unable to encode the number " + std::to_string(value) + " of \"" +
                            std::string(key) + "\": JSON has no form for numbers that are not finite");
    }
    // The double nearest the float's shortest decimal prints as that decimal.
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    double widened = 0;
    std::from_chars(buffer, written.ptr, widened);
    return widened;
}

OrderedJson encodeDouble(double value, std::string_view key) {
    if (!std::isfinite(value)) {
        throw EncodingError("Unable to encode the number " + std::to_string(value) + " of \"" +
                            std::string(key) + "\": JSON has no form for numbers that are not finite");
    }
    return value;
}

OrderedJson encodeFloats(const std::vector<float>& values, std::string_view key) {
    OrderedJson array = OrderedJson::array();
    for (float value : values) {
        array.push_back(encodeFloat(value, key));
    }
    return array;
}

DecodingError keyNotFound(std::string_view key) {
    return DecodingError(DecodingError::Kind::keyNotFound, std::string(key),
                         "No value associated with key \"" + std::string(key) + "\".");
}

const Json& requireObject(const Json& value, std::string_view typeName) {
    if (!value.is_object()) {
        throw DecodingError(DecodingError::Kind::typeMismatch, {},
                            "Expected an object for " + std::string(typeName) + " but found " +
                                value.type_name());
    }
    return value;
}

void decodeValue(const Json& json, bool& value) {
    if (!json.is_boolean()) {
        typeMismatch("a Boolean", json);
    }
    value = json.get<bool>();
}

void decodeValue(const Json& json, std::string& value) {
    if (!json.is_string()) {
        typeMismatch("a string", json);
    }
    value = json.get<std::string>();
}

void decodeValue(const Json& json, double& value) {
    if (!json.is_number()) {
        typeMismatch("a number", json);
    }
    value = json.get<double>();
}

void decodeValue(const Json& json, float& value) {
    double number = 0;
    decodeValue(json, number);
    if (std::abs(number) > static_cast<double>(std::numeric_limits<float>::max())) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, {},
                            "Parsed JSON number <" + numberText(json) + "> does not fit in Float.");
    }
    value = static_cast<float>(number);
}

void decodeValue(const Json& json, int& value) {
    value = decodeInteger<int>(json);
}

void decodeValue(const Json& json, std::int64_t& value) {
    value = decodeInteger<std::int64_t>(json);
}

int decodeIntegerKey(std::string_view key) {
    int value = 0;
    const auto result = std::from_chars(key.data(), key.data() + key.size(), value);
    if (key.empty() || result.ec != std::errc() || result.ptr != key.data() + key.size()) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, {},
                            "The key \"" + std::string(key) + "\" is not a decimal integer.");
    }
    return value;
}

} // namespace JsonCoding
} // namespace ZodozorEro
