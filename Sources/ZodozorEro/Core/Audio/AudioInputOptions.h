#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace ZodozorEro {

// How a multi-channel source becomes one channel.
class ChannelMode {
public:
    enum class Kind { specificChannel, sumChannels };

    // All channels summed.
    ChannelMode()
        : ChannelMode(Kind::sumChannels, 0, std::nullopt) {}

    // Exactly this channel; an index outside the source's channels falls back to channel 0.
    static ChannelMode specificChannel(std::int64_t channel) {
        return ChannelMode(Kind::specificChannel, channel, {});
    }
    // The listed channels added up (all of them when the list is absent or empty), rescaled to the peak of
    // the loudest of them.
    static ChannelMode sumChannels(std::optional<std::vector<std::int64_t>> channels = std::nullopt) {
        return ChannelMode(Kind::sumChannels, 0, std::move(channels));
    }

    Kind kind() const { return kind_; }
    // specificChannel only.
    std::int64_t channel() const { return channel_; }
    // sumChannels only.
    const std::optional<std::vector<std::int64_t>>& channels() const { return channels_; }

    bool operator==(const ChannelMode&) const = default;

private:
    ChannelMode(Kind kind, std::int64_t channel, std::optional<std::vector<std::int64_t>> channels)
        : kind_(kind)
        , channel_(channel)
        , channels_(std::move(channels)) {}

    Kind kind_;
    std::int64_t channel_;
    std::optional<std::vector<std::int64_t>> channels_;
};

// JSON: {"specificChannel": {"_0": 1}} or {"sumChannels": {"_0": [0, 1]}} ({"sumChannels": {}} without a
// list). Decoding throws DecodingError: a typeMismatch unless exactly one case key is present, and the usual
// errors (with the path) for a payload of the wrong shape.
void to_json(nlohmann::json& json, const ChannelMode& mode);
void decodeValue(const nlohmann::json& json, ChannelMode& mode);
void from_json(const nlohmann::json& json, ChannelMode& mode);

// Whether a file is loaded whole or in slices with back-pressure.
struct AudioLoadingMode {
    enum class Kind { incremental, fullFile };

    static constexpr double defaultChunkDurationSeconds = 120.0;

    static AudioLoadingMode incremental(double chunkDurationSeconds = defaultChunkDurationSeconds,
                                        std::int64_t maxBufferedChunks = 2) {
        return {Kind::incremental, chunkDurationSeconds, maxBufferedChunks};
    }
    static AudioLoadingMode fullFile() { return {Kind::fullFile, 0, 0}; }

    Kind kind = Kind::fullFile;
    // incremental only.
    double chunkDurationSeconds = 0;
    std::int64_t maxBufferedChunks = 0;

    bool operator==(const AudioLoadingMode&) const = default;
};

struct AudioInputOptions {
    ChannelMode channelMode = ChannelMode::sumChannels();
    AudioLoadingMode audioLoadingMode = AudioLoadingMode::fullFile();

    bool operator==(const AudioInputOptions&) const = default;
};

} // namespace ZodozorEro

template <>
struct std::hash<ZodozorEro::ChannelMode> {
    std::size_t operator()(const ZodozorEro::ChannelMode& mode) const noexcept;
};
