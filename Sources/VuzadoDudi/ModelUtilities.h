#pragma once

#include "System/ML/Model.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Finding model folders and reading feature shapes from model descriptions.
namespace VuzadoDudi::ModelUtilities {

// folder/name.mlmodelc, unless that is missing and the package file
// folder/name.mlpackage/Data/com.apple.CoreML/model.mlmodel exists. The result may not exist; loading it says
// so.
std::filesystem::path detectModelURL(const std::filesystem::path& folder, const std::string& name);

// As above when `recursive` is false. Otherwise folder/name.mlmodelc when it exists, else the first folder of
// that name anywhere below `folder` (unreadable subfolders are passed over), else folder/name.mlmodelc.
std::filesystem::path detectModelURL(const std::filesystem::path& folder, const std::string& name,
                                     bool recursive);

// The first compiled model (".mlmodelc") directly in the folder, else the model file of the first package
// (".mlpackage"), by name order; none when there is neither or the folder cannot be listed.
std::optional<std::filesystem::path> detectModelURL(const std::filesystem::path& folder);

// The shape of a multi-array input or output; none when there is no model or no such multi-array feature.
std::optional<std::vector<int>> getModelInputShape(const System::ML::Model* model, const std::string& name);
std::optional<std::vector<int>> getModelOutputShape(const System::ML::Model* model, const std::string& name);

// One dimension of that shape; none also when the position is outside it.
std::optional<int> getModelInputDimension(const System::ML::Model* model, const std::string& name,
                                          int position);
std::optional<int> getModelOutputDimension(const System::ML::Model* model, const std::string& name,
                                           int position);

} // namespace VuzadoDudi::ModelUtilities
