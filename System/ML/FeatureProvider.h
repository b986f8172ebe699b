#pragma once

#include "System/ML/FeatureValue.h"

#include <map>
#include <optional>
#include <set>
#include <string>

namespace System::ML {

// A set of named values: what a model reads, or what a prediction gives back.
class FeatureProvider {
public:
    virtual ~FeatureProvider() = default;
    virtual std::set<std::string> featureNames() const = 0;
    // The value of that name, or none.
    virtual std::optional<FeatureValue> featureValue(const std::string& name) const = 0;
};

// A provider over a fixed table of values.
class DictionaryFeatureProvider final : public FeatureProvider {
public:
    DictionaryFeatureProvider() = default;
    explicit DictionaryFeatureProvider(std::map<std::string, FeatureValue> values)
        : values_(std::move(values)) {}

    std::set<std::string> featureNames() const override;
    std::optional<FeatureValue> featureValue(const std::string& name) const override;

private:
    std::map<std::string, FeatureValue> values_;
};

} // namespace System::ML
