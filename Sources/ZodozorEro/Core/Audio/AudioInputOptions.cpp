#include "ZodozorEro/Core/Audio/AudioInputOptions.h"

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

void from_json(const nlohmann::json& json, ChannelMode& mode) {
    if (!json.is_object() || json.size() != 1) {
        throw nlohmann::json::type_error::create(302, "Invalid number of keys found, expected one.", &json);
    }
    const auto entry = json.begin();
    const std::string& key = entry.key();
    const nlohmann::json& payload = entry.value();
    if (key == "specificChannel") {
        mode = ChannelMode::specificChannel(payload.at("_0").get<std::int64_t>());
    } else if (key == "sumChannels") {
        if (!payload.is_object()) {
            throw nlohmann::json::type_error::create(302, "sumChannels needs an object", &payload);
        }
        std::optional<std::vector<std::int64_t>> channels;
        if (auto found = payload.find("_0"); found != payload.end() && !found->is_null()) {
            channels = found->get<std::vector<std::int64_t>>();
        }
        mode = ChannelMode::sumChannels(std::move(channels));
    } else {
        throw nlohmann::json::type_error::create(302, "Invalid number of keys found, expected one.", &json);
    }
}

} // namespace ZodozorEro

std::size_t std::hash<ZodozorEro::ChannelMode>::operator()(const ZodozorEro::ChannelMode& mode) const noexcept {
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
