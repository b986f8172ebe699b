#pragma once

#include <array>
#include <string_view>

namespace ZodozorEro {

// The Whisper model sizes, in the order they are listed.
enum class ModelVariant {
    tiny,
    tinyEn,
    base,
    baseEn,
    small,
    smallEn,
    medium,
    mediumEn,
    large,
    largev2,
    largev3
};

inline constexpr std::array<ModelVariant, 11> allModelVariants = {
    ModelVariant::tiny,  ModelVariant::tinyEn,  ModelVariant::base,    ModelVariant::baseEn,
    ModelVariant::small, ModelVariant::smallEn, ModelVariant::medium,  ModelVariant::mediumEn,
    ModelVariant::large, ModelVariant::largev2, ModelVariant::largev3,
};

// The display name: "tiny", "tiny.en", ..., "large-v2", "large-v3".
std::string_view description(ModelVariant variant);

// Whether the variant handles languages other than English (the ".en" variants do not).
bool isMultilingual(ModelVariant variant);

} // namespace ZodozorEro
