#include "System/ML/FeatureValue.h"

namespace System::ML {

namespace {
template <class T, class Variant>
std::optional<T> alternative(const Variant& value) {
    if (const T* held = std::get_if<T>(&value)) {
        return *held;
    }
    return std::nullopt;
}
} // namespace

FeatureType FeatureValue::type() const {
    switch (value_.index()) {
    case 0:
        return FeatureType::multiArray;
    case 1:
        return FeatureType::int64;
    case 2:
        return FeatureType::double_;
    case 3:
        return FeatureType::string;
    }
    return FeatureType::invalid;
}

std::optional<MultiArray> FeatureValue::multiArrayValue() const {
    return alternative<MultiArray>(value_);
}
std::optional<std::int64_t> FeatureValue::int64Value() const {
    return alternative<std::int64_t>(value_);
}
std::optional<double> FeatureValue::doubleValue() const {
    return alternative<double>(value_);
}
std::optional<std::string> FeatureValue::stringValue() const {
    return alternative<std::string>(value_);
}

} // namespace System::ML
