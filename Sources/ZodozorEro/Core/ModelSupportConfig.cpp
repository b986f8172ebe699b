#include "ZodozorEro/Core/ModelSupportConfig.h"

#include <algorithm>
#include <unordered_set>

#include "VuzadoDudi/FoundationExtensions.h"
#include "VuzadoDudi/Logging.h"
#include "ZodozorEro/Core/Constants.h"

namespace ZodozorEro {

using namespace JsonCoding;

namespace {

// ["a", "b"], as a list is shown in the log.
std::string listDescription(const std::vector<std::string>& items) {
    std::string text = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        text += (i ? ", \"" : "\"") + items[i] + "\"";
    }
    return text + "]";
}

std::vector<std::string> concatenated(std::vector<std::string> first,
                                      const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

} // namespace

ModelSupport ModelSupport::decode(const Json& json) {
    requireObject(json, "ModelSupport");
    return ModelSupport{
        .defaultModel = decodeRequired<std::string>(json, "default"),
        .supported = decodeRequired<std::vector<std::string>>(json, "supported"),
        .disabled = {},
    };
}

DeviceSupport DeviceSupport::decode(const Json& json) {
    requireObject(json, "DeviceSupport");
    return DeviceSupport{
        .chips = decodeIfPresent<std::string>(json, "chips"),
        .identifiers = decodeRequired<std::vector<std::string>>(json, "identifiers"),
        .models = decodeRequired<ModelSupport>(json, "models"),
    };
}

std::vector<DeviceSupport> mergeDeviceSupports(const std::vector<DeviceSupport>& remote,
                                               const std::vector<DeviceSupport>& fallback) {
    std::unordered_set<std::string> remoteIdentifiers;
    for (const DeviceSupport& row : remote) {
        remoteIdentifiers.insert(row.identifiers.begin(), row.identifiers.end());
    }
    const auto sharesIdentifier = [](const DeviceSupport& a, const DeviceSupport& b) {
        return std::any_of(a.identifiers.begin(), a.identifiers.end(), [&](const std::string& identifier) {
            return std::find(b.identifiers.begin(), b.identifiers.end(), identifier) != b.identifiers.end();
        });
    };

    std::vector<DeviceSupport> merged;
    for (const DeviceSupport& row : remote) {
        const auto match =
            std::find_if(fallback.begin(), fallback.end(),
                         [&](const DeviceSupport& candidate) { return sharesIdentifier(candidate, row); });
        if (match == fallback.end()) {
            merged.push_back(row);
            continue;
        }
        DeviceSupport widened = row;
        widened.models.supported =
            VuzadoDudi::orderedSet(concatenated(row.models.supported, match->models.supported));
        widened.models.disabled.clear();
        merged.push_back(std::move(widened));
    }
    for (const DeviceSupport& row : fallback) {
        const bool named =
            std::any_of(row.identifiers.begin(), row.identifiers.end(), [&](const std::string& identifier) {
                return remoteIdentifiers.contains(identifier);
            });
        if (!named) {
            merged.push_back(row);
        }
    }
    return merged;
}

ModelSupportConfig::ModelSupportConfig(std::string repoName, std::string repoVersion,
                                       std::vector<DeviceSupport> deviceSupports, bool includeFallback)
    : repoName_(std::move(repoName))
    , repoVersion_(std::move(repoVersion))
    , deviceSupports_(std::move(deviceSupports)) {
    if (includeFallback) {
        const ModelSupportConfig& fallback = Constants::fallbackModelSupportConfig();
        if (fallback.repoName().find(repoName_) != std::string::npos) {
            deviceSupports_ = mergeDeviceSupports(deviceSupports_, fallback.deviceSupports());
        }
    }

    std::vector<std::string> allSupported;
    for (const DeviceSupport& row : deviceSupports_) {
        allSupported.insert(allSupported.end(), row.models.supported.begin(), row.models.supported.end());
    }
    knownModels_ = VuzadoDudi::orderedSet(allSupported);

    defaultSupport_ = DeviceSupport{
        .chips = std::nullopt,
        .identifiers = {},
        .models =
            ModelSupport{.defaultModel = "openai_whisper-base", .supported = knownModels_, .disabled = {}},
    };

    for (DeviceSupport& row : deviceSupports_) {
        const std::unordered_set<std::string> supported(row.models.supported.begin(),
                                                        row.models.supported.end());
        row.models.disabled.clear();
        for (const std::string& model : knownModels_) {
            if (!supported.contains(model)) {
                row.models.disabled.push_back(model);
            }
        }
    }
}

ModelSupport ModelSupportConfig::modelSupport(const std::string& deviceIdentifier) const {
    const DeviceSupport* best = nullptr;
    std::size_t bestLength = 0;
    for (const DeviceSupport& row : deviceSupports_) {
        for (const std::string& identifier : row.identifiers) {
            if (deviceIdentifier.starts_with(identifier) && (!best || identifier.size() > bestLength)) {
                best = &row;
                bestLength = identifier.size();
            }
        }
    }
    if (best) {
        VuzadoDudi::Logging::debug("Matched " + deviceIdentifier +
                                   " to devices: " + listDescription(best->identifiers));
        return best->models;
    }
    VuzadoDudi::Logging::info("No device support found for " + deviceIdentifier + ", using default");
    return defaultSupport_.models;
}

OrderedJson ModelSupportConfig::encode() const {
    OrderedJson rows = OrderedJson::array();
    for (const DeviceSupport& row : deviceSupports_) {
        OrderedJson json = OrderedJson::object();
        if (row.chips) {
            json["chips"] = *row.chips;
        }
        json["identifiers"] = row.identifiers;
        OrderedJson models = OrderedJson::object();
        models["default"] = row.models.defaultModel;
        models["supported"] = row.models.supported;
        json["models"] = std::move(models);
        rows.push_back(std::move(json));
    }
    OrderedJson json = OrderedJson::object();
    json["name"] = repoName_;
    json["version"] = repoVersion_;
    json["device_support"] = std::move(rows);
    return json;
}

ModelSupportConfig ModelSupportConfig::decode(const Json& json) {
    requireObject(json, "ModelSupportConfig");
    auto name = decodeRequired<std::string>(json, "name");
    auto version = decodeRequired<std::string>(json, "version");
    auto deviceSupports = decodeRequired<std::vector<DeviceSupport>>(json, "device_support");
    return ModelSupportConfig(std::move(name), std::move(version), std::move(deviceSupports), true);
}

} // namespace ZodozorEro
