#include "System/ML/Model.h"

#include "System/Json/BoundedJson.h"

#include <fstream>
#include <sstream>

namespace System::ML {

namespace {

using Json = nlohmann::json;

// A model.json is a few kilobytes; anything this large is not one.
constexpr std::uintmax_t kMaxManifestBytes = 16u << 20;

std::mutex& registryLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, ModelFactory>& registry() {
    static std::map<std::string, ModelFactory> kinds;
    return kinds;
}

std::string quoted(const std::filesystem::path& path) {
    return "\"" + path.string() + "\"";
}

std::string readManifest(const std::filesystem::path& folder) {
    const auto path = folder / "model.json";
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        throw ModelError(ModelError::Reason::otherFormat,
                         "The folder " + quoted(folder) +
                             " is not a model of this runtime: it has no model.json.");
    }
    const auto size = std::filesystem::file_size(path, error);
    if (error || !std::filesystem::is_regular_file(status) || size > kMaxManifestBytes) {
        throw ModelError(ModelError::Reason::invalidModel,
                         "The file " + quoted(path) + " is not a model.json.");
    }
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file) {
        throw ModelError(ModelError::Reason::invalidModel, "The file " + quoted(path) + " cannot be read.");
    }
    return text.str();
}

ModelFactory factoryFor(const std::string& kind, const std::filesystem::path& folder) {
    std::lock_guard guard(registryLock());
    auto found = registry().find(kind);
    if (found == registry().end()) {
        throw ModelError(ModelError::Reason::unknownKind,
                         "The model " + quoted(folder) + " is of the unknown kind \"" + kind + "\".");
    }
    return found->second;
}

bool fits(const MultiArrayConstraint& constraint, const MultiArray& array) {
    return array.shape() == constraint.shape;
}

bool typeAccepted(MultiArrayDataType described, MultiArrayDataType given) {
    return described == given || (isFloatType(described) && isFloatType(given));
}

} // namespace

void registerModelKind(const std::string& kind, ModelFactory factory) {
    std::lock_guard guard(registryLock());
    registry()[kind] = std::move(factory);
}

std::map<std::string, FeatureDescription> featureDescriptions(const Json& table, const std::string& where) {
    auto invalid = [&](const std::string& problem) {
        return ModelError(ModelError::Reason::invalidModel,
                          "The feature table " + where + " " + problem + ".");
    };
    if (!table.is_array()) {
        throw invalid("is not a list");
    }
    std::map<std::string, FeatureDescription> result;
    for (const Json& entry : table) {
        if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string()) {
            throw invalid("has an entry without a name");
        }
        FeatureDescription description;
        description.name = entry["name"].get<std::string>();
        const auto dataType = entry.contains("data_type") && entry["data_type"].is_string()
                                  ? dataTypeFromName(entry["data_type"].get<std::string>())
                                  : std::nullopt;
        if (!dataType) {
            throw invalid("gives \"" + description.name + "\" no known data_type");
        }
        if (!entry.contains("shape") || !entry["shape"].is_array() || entry["shape"].empty()) {
            throw invalid("gives \"" + description.name + "\" no shape");
        }
        MultiArrayConstraint constraint{{}, *dataType};
        for (const Json& dimension : entry["shape"]) {
            if (!dimension.is_number_integer() || dimension.get<std::int64_t>() < 1 ||
                dimension.get<std::int64_t>() > std::numeric_limits<int>::max()) {
                throw invalid("gives \"" + description.name +
                              "\" a dimension that is not a positive integer");
            }
            constraint.shape.push_back(dimension.get<int>());
        }
        if (entry.contains("optional")) {
            if (!entry["optional"].is_boolean()) {
                throw invalid("gives \"" + description.name + "\" an \"optional\" that is not true or false");
            }
            description.isOptional = entry["optional"].get<bool>();
        }
        description.type = FeatureType::multiArray;
        description.multiArrayConstraint = std::move(constraint);
        if (!result.emplace(description.name, description).second) {
            throw invalid("names \"" + description.name + "\" twice");
        }
    }
    return result;
}

Json featureTableEntry(const FeatureDescription& description) {
    Json entry = {{"name", description.name}};
    if (description.multiArrayConstraint) {
        entry["data_type"] = std::string(dataTypeName(description.multiArrayConstraint->dataType));
        entry["shape"] = description.multiArrayConstraint->shape;
    }
    if (description.isOptional) {
        entry["optional"] = true;
    }
    return entry;
}

std::shared_ptr<Model> Model::load(const std::filesystem::path& folder,
                                   const ModelConfiguration& configuration) {
    std::error_code error;
    const auto status = std::filesystem::status(folder, error);
    if (!std::filesystem::exists(status)) {
        throw ModelError(ModelError::Reason::missingFile, "There is no model at " + quoted(folder) + ".");
    }
    if (!std::filesystem::is_directory(status)) {
        throw ModelError(ModelError::Reason::otherFormat,
                         "The model " + quoted(folder) + " is a file, not a model folder of this runtime.");
    }
    Json manifest;
    try {
        manifest = System::Json::parse(readManifest(folder));
    } catch (const System::Json::JsonError& parseError) {
        throw ModelError(ModelError::Reason::invalidModel,
                         "The model.json of " + quoted(folder) +
                             " is not valid JSON: " + parseError.description());
    }
    const std::string where = "of " + quoted(folder);
    if (!manifest.is_object()) {
        throw ModelError(ModelError::Reason::invalidModel, "The model.json " + where + " is not an object.");
    }
    if (!manifest.contains("format_version") || !manifest["format_version"].is_number_integer() ||
        manifest["format_version"].get<std::int64_t>() != kModelFormatVersion) {
        throw ModelError(ModelError::Reason::otherFormat, "The model.json " + where +
                                                              " is not of format version " +
                                                              std::to_string(kModelFormatVersion) + ".");
    }
    if (!manifest.contains("kind") || !manifest["kind"].is_string()) {
        throw ModelError(ModelError::Reason::invalidModel, "The model.json " + where + " names no kind.");
    }
    const auto factory = factoryFor(manifest["kind"].get<std::string>(), folder);
    ModelDescription description;
    description.inputDescriptionsByName =
        featureDescriptions(manifest.value("inputs", Json()), "\"inputs\" " + where);
    description.outputDescriptionsByName =
        featureDescriptions(manifest.value("outputs", Json()), "\"outputs\" " + where);
    try {
        return factory(ModelSource(folder, std::move(manifest), std::move(description)), configuration);
    } catch (const nlohmann::json::exception& jsonError) {
        // A kind reads its own keys; a value of the wrong JSON type is a malformed model, not a crash.
        throw ModelError(ModelError::Reason::invalidModel,
                         "The model.json " + where + " has a value of the wrong type: " + jsonError.what());
    }
}

Model::Model(ModelDescription description, ModelConfiguration configuration)
    : description_(std::move(description))
    , configuration_(configuration) {}

std::shared_ptr<FeatureProvider> Model::predict(const FeatureProvider& input, const PredictionOptions&) {
    std::map<std::string, MultiArray> inputs;
    for (const auto& [name, description] : description_.inputDescriptionsByName) {
        auto value = input.featureValue(name);
        if (!value) {
            if (description.isOptional) {
                continue;
            }
            throw ModelError(ModelError::Reason::invalidInput, "The input \"" + name + "\" is missing.");
        }
        auto array = value->multiArrayValue();
        const auto& constraint = *description.multiArrayConstraint;
        if (!array) {
            throw ModelError(ModelError::Reason::invalidInput, "The input \"" + name + "\" is not an array.");
        }
        if (!fits(constraint, *array)) {
            throw ModelError(ModelError::Reason::invalidInput,
                             "The input \"" + name + "\" has the shape " + shapeDescription(array->shape()) +
                                 ", not " + shapeDescription(constraint.shape) + ".");
        }
        if (!typeAccepted(constraint.dataType, array->dataType())) {
            throw ModelError(ModelError::Reason::invalidInput,
                             "The input \"" + name + "\" holds " +
                                 std::string(dataTypeName(array->dataType())) + " elements, not " +
                                 std::string(dataTypeName(constraint.dataType)) + ".");
        }
        // Kinds compute in float32, whatever precision the features travel in.
        const bool asGiven = !isFloatType(array->dataType()) ||
                             (array->dataType() == MultiArrayDataType::float16 && readsHalfInput(name));
        inputs.emplace(name, asGiven ? *array : float32Input(name, *array));
    }

    std::map<std::string, MultiArray> outputs;
    {
        std::lock_guard guard(lock_);
        outputs = evaluate(inputs);
    }

    std::map<std::string, FeatureValue> values;
    for (auto& [name, array] : outputs) {
        auto described = description_.outputDescriptionsByName.find(name);
        if (described == description_.outputDescriptionsByName.end()) {
            throw ModelError(ModelError::Reason::invalidOutput,
                             "The model produced the undescribed output \"" + name + "\".");
        }
        const auto& constraint = *described->second.multiArrayConstraint;
        if (!fits(constraint, array) || !typeAccepted(constraint.dataType, array.dataType())) {
            throw ModelError(ModelError::Reason::invalidOutput,
                             "The model produced the output \"" + name + "\" with the shape " +
                                 shapeDescription(array.shape()) + ", not " +
                                 shapeDescription(constraint.shape) + ".");
        }
        values.emplace(name, array.dataType() == constraint.dataType
                                 ? array
                                 : convertedFloats(array, constraint.dataType));
    }
    for (const auto& [name, description] : description_.outputDescriptionsByName) {
        if (!description.isOptional && !values.contains(name)) {
            throw ModelError(ModelError::Reason::invalidOutput,
                             "The model produced no output \"" + name + "\".");
        }
    }
    return std::make_shared<DictionaryFeatureProvider>(std::move(values));
}

std::shared_ptr<State> Model::makeState() const {
    return std::shared_ptr<State>(new State(*this));
}

std::shared_ptr<FeatureProvider> Model::predict(const FeatureProvider& input, State& state,
                                                const PredictionOptions& options) {
    if (state.model_ != this) {
        throw ModelError(ModelError::Reason::invalidInput, "The state was made by another model.");
    }
    return predict(input, options);
}

MultiArray Model::float32Input(const std::string& name, const MultiArray& array) {
    if (array.dataType() == MultiArrayDataType::float32) {
        return array;
    }
    std::lock_guard guard(conversionsLock_);
    auto found = conversions_.find(name);
    if (found != conversions_.end() && found->second.source.sharesBuffer(array) &&
        found->second.version == array.version()) {
        return found->second.converted;
    }
    const std::uint64_t version = array.version();
    Conversion conversion{array, version, convertedFloats(array, MultiArrayDataType::float32)};
    auto converted = conversion.converted;
    conversions_.insert_or_assign(name, std::move(conversion));
    return converted;
}

int ModelSource::hyperparameter(const std::string& name) const {
    const Json* hyperparameters =
        manifest_.contains("hyperparameters") ? &manifest_["hyperparameters"] : nullptr;
    if (!hyperparameters || !hyperparameters->is_object() || !hyperparameters->contains(name) ||
        !(*hyperparameters)[name].is_number_integer() || (*hyperparameters)[name].get<std::int64_t>() < 1 ||
        (*hyperparameters)[name].get<std::int64_t>() > std::numeric_limits<int>::max()) {
        fail("needs the hyper-parameter \"" + name + "\" as a positive integer");
    }
    return (*hyperparameters)[name].get<int>();
}

const MultiArrayConstraint& ModelSource::input(const std::string& name) const {
    auto found = description_.inputDescriptionsByName.find(name);
    if (found == description_.inputDescriptionsByName.end()) {
        fail("has no input \"" + name + "\"");
    }
    return *found->second.multiArrayConstraint;
}

const MultiArrayConstraint& ModelSource::output(const std::string& name) const {
    auto found = description_.outputDescriptionsByName.find(name);
    if (found == description_.outputDescriptionsByName.end()) {
        fail("has no output \"" + name + "\"");
    }
    return *found->second.multiArrayConstraint;
}

const SafeTensors& ModelSource::weights() const {
    if (!weights_) {
        const auto path = folder_ / "weights.safetensors";
        std::error_code error;
        if (!std::filesystem::exists(path, error)) {
            throw ModelError(ModelError::Reason::missingFile,
                             "The model " + quoted(folder_) + " has no weights.safetensors.");
        }
        try {
            weights_ = std::make_shared<const SafeTensors>(SafeTensors::open(path));
        } catch (const SafeTensorsError& weightsError) {
            throw ModelError(ModelError::Reason::invalidWeights, weightsError.description());
        }
    }
    return *weights_;
}

std::vector<float> ModelSource::tensor(const std::string& name, const std::vector<int>& shape) const {
    const SafeTensors& file = weights();
    try {
        return file.floats(name, shape);
    } catch (const SafeTensorsError& weightsError) {
        throw ModelError(ModelError::Reason::invalidWeights,
                         "The model " + quoted(folder_) + " cannot be used: " + weightsError.description());
    }
}

Compute::WeightMatrix ModelSource::weightMatrix(const std::string& name, int rows, int cols) const {
    Compute::WeightMatrix matrix;
    matrix.rows = rows;
    matrix.cols = cols;
    const SafeTensors& file = weights();
    const auto found = file.tensors().find(name);
    if (found == file.tensors().end() || found->second.dtype != SafeTensorsDType::F16) {
        matrix.floats = tensor(name, {rows, cols});
        return matrix;
    }
    try {
        matrix.halves = file.halves(name, {rows, cols});
    } catch (const SafeTensorsError& weightsError) {
        throw ModelError(ModelError::Reason::invalidWeights,
                         "The model " + quoted(folder_) + " cannot be used: " + weightsError.description());
    }
    return matrix;
}

void ModelSource::checkBufferSize(std::initializer_list<std::size_t> dimensions,
                                  const std::string& what) const {
    constexpr std::size_t kMaxFloats = std::size_t(1) << 28;
    std::size_t count = 1;
    for (std::size_t dimension : dimensions) {
        if (__builtin_mul_overflow(count, dimension, &count) || count > kMaxFloats) {
            fail("needs a buffer for " + what + " larger than any model of this runtime uses");
        }
    }
}

void ModelSource::fail(const std::string& problem) const {
    throw ModelError(ModelError::Reason::invalidModel, "The model " + quoted(folder_) + " " + problem + ".");
}

} // namespace System::ML
