#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ZodozorEro/Utilities/JsonCoding.h"

namespace ZodozorEro {

// The models one kind of device runs: the recommended folder, the folders that run, and the known folders
// that do not (derived from the table, never stored).
struct ModelSupport {
    std::string defaultModel; // "default" in the coded form
    std::vector<std::string> supported;
    std::vector<std::string> disabled;

    bool operator==(const ModelSupport&) const = default;

    // "default" and "supported" are required; `disabled` starts empty.
    static ModelSupport decode(const JsonCoding::Json& json);
};

// One row of the table: hardware model identifier prefixes ("iPhone15", "MacBookPro18,1") and their models.
struct DeviceSupport {
    // The chips of the row in words, for people reading the table.
    std::optional<std::string> chips;
    std::vector<std::string> identifiers;
    ModelSupport models;

    bool operator==(const DeviceSupport&) const = default;

    // "identifiers" and "models" are required, "chips" may be absent.
    static DeviceSupport decode(const JsonCoding::Json& json);
};

// Which model folders each kind of device is recommended, supported and unable to run. A table from the
// model repository is merged with the built-in one when it describes the same repository, so a device the
// remote table forgets keeps the built-in answer.
class ModelSupportConfig {
public:
    // Builds the table: merges with the built-in rows when `includeFallback` and the built-in table's
    // repository name contains `repoName`, then derives the known models, the default row and every row's
    // disabled list.
    ModelSupportConfig(std::string repoName, std::string repoVersion,
                       std::vector<DeviceSupport> deviceSupports, bool includeFallback = true);

    const std::string& repoName() const { return repoName_; }
    const std::string& repoVersion() const { return repoVersion_; }
    const std::vector<DeviceSupport>& deviceSupports() const { return deviceSupports_; }
    void setDeviceSupports(std::vector<DeviceSupport> rows) { deviceSupports_ = std::move(rows); }
    // Every model some row supports, first occurrence first.
    const std::vector<std::string>& knownModels() const { return knownModels_; }
    void setKnownModels(std::vector<std::string> models) { knownModels_ = std::move(models); }
    // The row for devices no row matches: no chips, no identifiers, "openai_whisper-base" recommended and
    // every known model supported.
    const DeviceSupport& defaultSupport() const { return defaultSupport_; }
    void setDefaultSupport(DeviceSupport row) { defaultSupport_ = std::move(row); }

    // The models of the row whose identifier is the longest prefix of `deviceIdentifier` (the earlier row on
    // a tie), else those of the default row. Logs which.
    ModelSupport modelSupport(const std::string& deviceIdentifier) const;

    // Keys "name", "version", "device_support"; the derived fields are not written.
    JsonCoding::OrderedJson encode() const;
    // The three keys are required, so are "identifiers" and "models" of a row and "default" and "supported"
    // of its models; "chips" may be absent. The table is then built as by the constructor, with the fallback.
    static ModelSupportConfig decode(const JsonCoding::Json& json);

private:
    std::string repoName_;
    std::string repoVersion_;
    std::vector<DeviceSupport> deviceSupports_;
    std::vector<std::string> knownModels_;
    DeviceSupport defaultSupport_;
};

// The remote rows, each widened by the models of the first built-in row sharing one of its identifiers, then
// the built-in rows none of whose identifiers the remote table names.
std::vector<DeviceSupport> mergeDeviceSupports(const std::vector<DeviceSupport>& remote,
                                               const std::vector<DeviceSupport>& fallback);

} // namespace ZodozorEro
