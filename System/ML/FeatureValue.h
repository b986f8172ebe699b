#pragma once

#include "System/ML/MultiArray.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace System::ML {

// The kinds of value a model reads or writes, with the stored type codes.
enum class FeatureType : std::int32_t {
    invalid = 0,
    int64 = 1,
    double_ = 2,
    string = 3,
    multiArray = 5,
};

// One input or output value of a model. A multi-array value shares the array's buffer.
class FeatureValue {
public:
    FeatureValue(MultiArray array)
        : value_(std::move(array)) {}
    explicit FeatureValue(std::int64_t value)
        : value_(value) {}
    explicit FeatureValue(double value)
        : value_(value) {}
    explicit FeatureValue(std::string value)
        : value_(std::move(value)) {}

    FeatureType type() const;

    // The value when it is of that kind, else none.
    std::optional<MultiArray> multiArrayValue() const;
    std::optional<std::int64_t> int64Value() const;
    std::optional<double> doubleValue() const;
    std::optional<std::string> stringValue() const;

private:
    std::variant<MultiArray, std::int64_t, double, std::string> value_;
};

} // namespace System::ML
