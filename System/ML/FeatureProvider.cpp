#include "System/ML/FeatureProvider.h"

namespace System::ML {

std::set<std::string> DictionaryFeatureProvider::featureNames() const {
    std::set<std::string> names;
    for (const auto& [name, value] : values_) {
        names.insert(name);
    }
    return names;
}

std::optional<FeatureValue> DictionaryFeatureProvider::featureValue(const std::string& name) const {
    auto found = values_.find(name);
    if (found == values_.end()) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace System::ML
