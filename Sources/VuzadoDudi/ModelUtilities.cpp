#include "VuzadoDudi/ModelUtilities.h"

#include <algorithm>

namespace VuzadoDudi::ModelUtilities {

namespace fs = std::filesystem;

namespace {
const char* const kPackageModelFile = "Data/com.apple.CoreML/model.mlmodel";

bool existsOnDisk(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error);
}

std::optional<std::vector<int>> shapeOf(const std::map<std::string, System::ML::FeatureDescription>& features,
                                        const std::string& name) {
    auto found = features.find(name);
    if (found == features.end() || found->second.type != System::ML::FeatureType::multiArray ||
        !found->second.multiArrayConstraint) {
        return std::nullopt;
    }
    return found->second.multiArrayConstraint->shape;
}

std::optional<int> dimension(const std::optional<std::vector<int>>& shape, int position) {
    if (!shape || position < 0 || position >= int(shape->size())) {
        return std::nullopt;
    }
    return (*shape)[std::size_t(position)];
}
} // namespace

fs::path detectModelURL(const fs::path& folder, const std::string& name) {
    const fs::path compiled = folder / (name + ".mlmodelc");
    const fs::path package = folder / (name + ".mlpackage") / kPackageModelFile;
    return !existsOnDisk(compiled) && existsOnDisk(package) ? package : compiled;
}

fs::path detectModelURL(const fs::path& folder, const std::string& name, bool recursive) {
    if (!recursive) {
        return detectModelURL(folder, name);
    }
    const fs::path compiled = folder / (name + ".mlmodelc");
    if (existsOnDisk(compiled)) {
        return compiled;
    }
    std::error_code error;
    fs::recursive_directory_iterator walk(folder, fs::directory_options::skip_permission_denied, error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        if (walk->path().filename() == compiled.filename()) {
            return walk->path();
        }
    }
    return compiled;
}

std::optional<fs::path> detectModelURL(const fs::path& folder) {
    std::error_code error;
    std::vector<fs::path> entries;
    for (fs::directory_iterator list(folder, error); !error && list != fs::directory_iterator();
         list.increment(error)) {
        entries.push_back(list->path());
    }
    if (error) {
        return std::nullopt;
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
        if (entry.extension() == ".mlmodelc") {
            return entry;
        }
    }
    for (const auto& entry : entries) {
        if (entry.extension() == ".mlpackage") {
            return entry / kPackageModelFile;
        }
    }
    return std::nullopt;
}

std::optional<std::vector<int>> getModelInputShape(const System::ML::Model* model, const std::string& name) {
    return model ? shapeOf(model->modelDescription().inputDescriptionsByName, name) : std::nullopt;
}

std::optional<std::vector<int>> getModelOutputShape(const System::ML::Model* model, const std::string& name) {
    return model ? shapeOf(model->modelDescription().outputDescriptionsByName, name) : std::nullopt;
}

std::optional<int> getModelInputDimension(const System::ML::Model* model, const std::string& name,
                                          int position) {
    return dimension(getModelInputShape(model, name), position);
}

std::optional<int> getModelOutputDimension(const System::ML::Model* model, const std::string& name,
                                           int position) {
    return dimension(getModelOutputShape(model, name), position);
}

} // namespace VuzadoDudi::ModelUtilities
