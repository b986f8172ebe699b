#pragma once

#include <cstdint>
#include <string_view>

namespace VuzadoDudi {

// The lifecycle of a set of models.
enum class ModelState : std::uint8_t {
    unloading,
    unloaded,
    loading,
    loaded,
    prewarming,
    prewarmed,
    downloading,
    downloaded,
};

// "Unloading", "Unloaded", "Loading", "Loaded", "Specializing", "Specialized", "Downloading", "Downloaded".
std::string_view description(ModelState state);
// True for the four states that stand for work in progress.
bool isBusy(ModelState state);

} // namespace VuzadoDudi
