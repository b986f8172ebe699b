#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

// Strict reading of the JSON records the cloud services answer with: a missing required key or a value of
// the wrong type fails the whole record; keys not asked for are ignored; an optional key may be absent or
// null.
namespace TessarinPlatform::WireDecoding {

class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The body parsed as a JSON object; a body nested deeper than any answer of ours fails like malformed JSON.
nlohmann::json object(const std::string& body);
std::string requiredString(const nlohmann::json& object, const char* key);
std::optional<std::string> optionalString(const nlohmann::json& object, const char* key);
std::int64_t requiredInteger(const nlohmann::json& object, const char* key);
bool requiredBool(const nlohmann::json& object, const char* key);
const nlohmann::json& requiredObject(const nlohmann::json& object, const char* key);

} // namespace TessarinPlatform::WireDecoding
