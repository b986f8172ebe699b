#include "ZodozorEro/Core/Audio/AudioInputOptions.h"

#include "ZodozorEro/Utilities/JsonCoding.h"

#include <nlohmann/json.hpp>

namespace ZodozorEro {

void to_json(nlohmann::json& json, const ChannelMode& mode) {
    nlohmann::json payload = nlohmann::json::object();
    if (mode.kind() == ChannelMode::Kind::specificChannel) {
        payload["_0"] = mode.channel();
        json = {{"specificChannel", payload}};
    } else {
        if (mode.channels()) {
            payload["_0"] = *mode.channels();
        }
        json = {{"sumChannels", payload}};
    }
}

void decodeValue(const JsonCoding::Json& json, ChannelMode& mode) {
    using JsonCoding::withPathComponent;
    JsonCoding::requireObject(json, "ChannelMode");
    // Keys that name no case are ignored, like any unknown key.
    const bool specific = json.contains("specificChannel");
    const bool sum = json.contains("sumChannels");
    if (specific == sum) {
        throw DecodingError(DecodingError::Kind::typeMismatch, {},
                            "Invalid number of keys found, expected one.");
    }
    const std::string key = specific ? "specificChannel" : "sumChannels";
    withPathComponent(key, [&] {
        const auto& payload = JsonCoding::requireObject(json.at(key), key);
        if (specific) {
            mode = ChannelMode::specificChannel(JsonCoding::decodeRequired<std::int64_t>(payload, "_0"));
        } else {
            mode = ChannelMode::sumChannels(
                JsonCoding::decodeIfPresent<std::vector<std::int64_t>>(payload, "_0"));
        }
    });
}

void from_json(const nlohmann::json& json, ChannelMode& mode) {
    decodeValue(json, mode);
}

} // namespace ZodozorEro

std::size_t
std::hash<ZodozorEro::ChannelMode>::operator()(const ZodozorEro::ChannelMode& mode) const noexcept {
    std::size_t seed = std::size_t(mode.kind());
    auto mix = [&](std::size_t value) { seed ^= value + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2); };
    if (mode.kind() == ZodozorEro::ChannelMode::Kind::specificChannel) {
        mix(std::hash<std::int64_t>{}(mode.channel()));
    } else if (mode.channels()) {
        mix(1);
        for (std::int64_t channel : *mode.channels()) {
            mix(std::hash<std::int64_t>{}(channel));
        }
    }
    return seed;
}
