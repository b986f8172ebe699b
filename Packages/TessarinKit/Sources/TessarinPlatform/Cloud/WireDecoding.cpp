#include "TessarinPlatform/Cloud/WireDecoding.h"

#include "System/Json/BoundedJson.h"

#include <cmath>
#include <limits>

namespace TessarinPlatform::WireDecoding {

namespace {

const nlohmann::json& required(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) {
        throw DecodingError(std::string("missing key ") + key);
    }
    return *found;
}

} // namespace

nlohmann::json object(const std::string& body) {
    nlohmann::json parsed;
    try {
        parsed = System::Json::parse(body);
    } catch (const System::Json::JsonError& error) {
        throw DecodingError(error.description());
    }
    if (!parsed.is_object()) {
        throw DecodingError("not a JSON object");
    }
    return parsed;
}

std::string requiredString(const nlohmann::json& object, const char* key) {
    const auto& value = required(object, key);
    if (!value.is_string()) {
        throw DecodingError(std::string("not a string: ") + key);
    }
    return value.get<std::string>();
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) {
        return std::nullopt;
    }
    if (!found->is_string()) {
        throw DecodingError(std::string("not a string: ") + key);
    }
    return found->get<std::string>();
}

std::int64_t requiredInteger(const nlohmann::json& object, const char* key) {
    const auto& value = required(object, key);
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw DecodingError(std::string("integer out of range: ") + key);
        }
        return static_cast<std::int64_t>(number);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    // A number written with a fraction counts when it is a whole number that fits, as in JSON at large.
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::trunc(number) == number && number >= -9.2233720368547758e18 &&
            number < 9.2233720368547758e18) {
            return static_cast<std::int64_t>(number);
        }
    }
    throw DecodingError(std::string("not an integer: ") + key);
}

bool requiredBool(const nlohmann::json& object, const char* key) {
    const auto& value = required(object, key);
    if (!value.is_boolean()) {
        throw DecodingError(std::string("not a boolean: ") + key);
    }
    return value.get<bool>();
}

const nlohmann::json& requiredObject(const nlohmann::json& object, const char* key) {
    const auto& value = required(object, key);
    if (!value.is_object()) {
        throw DecodingError(std::string("not an object: ") + key);
    }
    return value;
}

} // namespace TessarinPlatform::WireDecoding
