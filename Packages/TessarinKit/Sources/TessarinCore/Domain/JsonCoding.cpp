#include "TessarinCore/Domain/JsonCoding.h"

#include "System/Json/CodingPath.h"

namespace TessarinCore {

namespace {
std::string describe(const std::string& codingPath, const std::string& problem) {
    if (codingPath.empty()) {
        return "The stored data could not be read: " + problem;
    }
    return "The stored value at \"" + codingPath + "\" could not be read: " + problem;
}
} // namespace

DecodingError::DecodingError(std::string codingPath, std::string problem)
    : DescribedError(describe(codingPath, problem))
    , codingPath_(std::move(codingPath))
    , problem_(std::move(problem)) {}

DecodingError DecodingError::inside(std::string_view keyOrIndex) const {
    return DecodingError(System::Json::codingPathInside(keyOrIndex, codingPath_), problem_);
}

namespace Json {

void requireObject(const json& value) {
    if (!value.is_object()) {
        throw DecodingError({}, std::string("expected an object but found ") + value.type_name());
    }
}

bool isMissing(const json& object, std::string_view key) {
    const auto it = object.find(key);
    return it == object.end() || it->is_null();
}

} // namespace Json
} // namespace TessarinCore

void nlohmann::adl_serializer<System::Concurrency::Duration>::to_json(
    json& json, const System::Concurrency::Duration& duration) {
    json = nlohmann::json::array({duration.high(), duration.low()});
}

System::Concurrency::Duration
nlohmann::adl_serializer<System::Concurrency::Duration>::from_json(const json& json) {
    using TessarinCore::DecodingError;
    if (!json.is_array() || json.size() != 2) {
        throw DecodingError({}, "a duration must be an array of two integers [high, low]");
    }
    namespace Json = TessarinCore::Json;
    const auto high =
        Json::withPathComponent("[0]", [&] { return Json::decodeInteger<std::int64_t>(json[0]); });
    const auto low =
        Json::withPathComponent("[1]", [&] { return Json::decodeInteger<std::uint64_t>(json[1]); });
    return System::Concurrency::Duration::fromHighLow(high, low);
}
