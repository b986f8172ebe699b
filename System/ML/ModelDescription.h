#pragma once

#include "System/ML/FeatureValue.h"
#include "System/ML/MultiArrayDataType.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace System::ML {

// The shape and element type a multi-array feature must have.
struct MultiArrayConstraint {
    std::vector<int> shape;
    MultiArrayDataType dataType = MultiArrayDataType::float32;
    bool operator==(const MultiArrayConstraint&) const = default;
};

struct FeatureDescription {
    std::string name;
    FeatureType type = FeatureType::invalid;
    // Present for multi-array features.
    std::optional<MultiArrayConstraint> multiArrayConstraint;
    // An optional input may be left out; an optional output is not produced by every model of a kind.
    bool isOptional = false;
    bool operator==(const FeatureDescription&) const = default;
};

// What a model reads and writes, by feature name.
struct ModelDescription {
    std::map<std::string, FeatureDescription> inputDescriptionsByName;
    std::map<std::string, FeatureDescription> outputDescriptionsByName;
    bool operator==(const ModelDescription&) const = default;
};

} // namespace System::ML
