#pragma once

#include "System/Log/ErrorDescription.h"
#include "System/ML/FeatureProvider.h"
#include "System/ML/ModelConfiguration.h"
#include "System/ML/ModelDescription.h"
#include "System/ML/MultiArray.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace System::ML {

// A model folder that cannot be loaded, or a prediction whose inputs do not fit the model.
class ModelError : public Log::DescribedError {
public:
    enum class Reason {
        missingFile,    // the folder, or a file it must hold, is not there
        otherFormat,    // the folder is not a model folder of this runtime
        invalidModel,   // model.json is malformed or does not fit its kind
        unknownKind,    // no kind of that name is registered
        invalidWeights, // the weights file is malformed, or a tensor is missing or of the wrong type or shape
        invalidInput,   // a prediction input is missing or of the wrong type or shape
        invalidOutput,  // a kind produced something its description does not allow (a fault of the kind)
    };

    ModelError(Reason reason, std::string description)
        : DescribedError(std::move(description))
        , reason_(reason) {}

    Reason reason() const { return reason_; }

private:
    Reason reason_;
};

// A loaded model. Predictions may come from any thread: each runs under the model's own lock, because a kind
// keeps its activation buffers from one prediction to the next.
class Model {
public:
    virtual ~Model() = default;
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // Loads the model folder (`<Name>.mlmodelc/` with model.json and the kind's files) through the kind that
    // model.json names. ModelError for anything missing, malformed or unknown.
    static std::shared_ptr<Model> load(const std::filesystem::path& folder,
                                       const ModelConfiguration& configuration = {});

    const ModelDescription& modelDescription() const { return description_; }
    const ModelConfiguration& configuration() const { return configuration_; }

    // Checks every described input (present unless optional, a multi-array of the described shape and element
    // type; float16 and float32 stand in for each other), runs the model and returns its outputs in their
    // described element types. ModelError (invalidInput) for an input that does not fit.
    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& input,
                                             const PredictionOptions& options = {});

protected:
    Model(ModelDescription description, ModelConfiguration configuration);

    // The model's computation. `inputs` holds every described input that was given, in its described element
    // type; the result holds every non-optional output (float outputs may come as float32 or float16; they
    // are converted to the described type).
    virtual std::map<std::string, MultiArray> evaluate(const std::map<std::string, MultiArray>& inputs) = 0;

private:
    ModelDescription description_;
    ModelConfiguration configuration_;
    std::mutex lock_;
};

// What a kind builds a model from: the folder and its parsed model.json.
class ModelSource {
public:
    ModelSource(std::filesystem::path folder, nlohmann::json manifest, ModelDescription description)
        : folder_(std::move(folder))
        , manifest_(std::move(manifest))
        , description_(std::move(description)) {}

    const std::filesystem::path& folder() const { return folder_; }
    const nlohmann::json& manifest() const { return manifest_; }
    const ModelDescription& description() const { return description_; }

    // A positive integer of "hyperparameters"; ModelError (invalidModel) when it is missing or not one.
    int hyperparameter(const std::string& name) const;

    // The multi-array constraint of a described feature; ModelError (invalidModel) when the description lacks
    // it or it is not a multi-array.
    const MultiArrayConstraint& input(const std::string& name) const;
    const MultiArrayConstraint& output(const std::string& name) const;

    // ModelError (invalidModel) naming this model folder.
    [[noreturn]] void fail(const std::string& problem) const;

private:
    std::filesystem::path folder_;
    nlohmann::json manifest_;
    ModelDescription description_;
};

using ModelFactory = std::function<std::shared_ptr<Model>(const ModelSource&, const ModelConfiguration&)>;

// Kinds register once, before the first load; a kind registered again replaces the earlier one.
void registerModelKind(const std::string& kind, ModelFactory factory);

// Registers a kind from a static object in the kind's own source file:
//   const ModelKindRegistration registration("log_mel", &LogMelModel::make);
struct ModelKindRegistration {
    ModelKindRegistration(const std::string& kind, ModelFactory factory) {
        registerModelKind(kind, std::move(factory));
    }
};

// The version of the model folder format that this runtime reads and writes.
inline constexpr int kModelFormatVersion = 1;

// Reads a feature table ("inputs" or "outputs" of model.json) into descriptions; ModelError (invalidModel).
std::map<std::string, FeatureDescription> featureDescriptions(const nlohmann::json& table,
                                                              const std::string& where);

// The feature table entry of a multi-array feature, as model.json stores it.
nlohmann::json featureTableEntry(const FeatureDescription& description);

} // namespace System::ML
