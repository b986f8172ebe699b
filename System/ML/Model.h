#pragma once

#include "System/Log/ErrorDescription.h"
#include "System/ML/Compute.h"
#include "System/ML/FeatureProvider.h"
#include "System/ML/ModelConfiguration.h"
#include "System/ML/ModelDescription.h"
#include "System/ML/MultiArray.h"
#include "System/ML/SafeTensors.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

// A model is a folder, `<Name>.mlmodelc/`, holding
//   model.json           {"format_version": 1, "kind": "<kind>", "hyperparameters": {"<name>": <positive
//   integer>},
//                         "inputs": [<feature>], "outputs": [<feature>], and any keys of the kind's own}
//                        where a <feature> is {"name": "...", "data_type": "float16" | "float32" | "float64"
//                        | "int32" | "int8", "shape": [<positive integers>], "optional": true | false
//                        (default)}
//   weights.safetensors  the kind's tensors (F32, F16 or BF16), when the kind has weights
// A kind is registered under its name (ModelKindRegistration) and builds its model from a ModelSource; a kind
// reads its hyper-parameters and tensors through the source, which turns every problem into a ModelError.

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

class Model;

// The state of a stateful prediction: what a model reads and updates in place from one prediction to the
// next. A state is made by its model and serves that model's predictions only. No kind of this runtime keeps
// state of its own (the decoder's key/value cache travels in its inputs and outputs), so a state holds
// nothing yet and a stateful prediction computes what a plain one does.
class State {
public:
    State(const State&) = delete;
    State& operator=(const State&) = delete;

private:
    friend class Model;
    explicit State(const Model& model)
        : model_(&model) {}
    const Model* model_;
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

    // A new state for this model's stateful predictions.
    std::shared_ptr<State> makeState() const;
    // A prediction that may read and update `state`, checked as above. ModelError (invalidInput) for a state
    // that another model made.
    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& input, State& state,
                                             const PredictionOptions& options = {});

protected:
    Model(ModelDescription description, ModelConfiguration configuration);

    // The model's computation. `inputs` holds every described input that was given: float ones as float32,
    // integer ones as described; the result holds every non-optional output (float outputs may come as
    // float32 or float16; they are converted to the described type).
    virtual std::map<std::string, MultiArray> evaluate(const std::map<std::string, MultiArray>& inputs) = 0;

    // True for a float input that the kind reads in float16 as well as in float32: it gets the array as given
    // in either type (float64 still comes as float32). For an input that changes at every prediction (a
    // decoder's key/value cache), converting it whole would cost more than the reading does.
    virtual bool readsHalfInput(const std::string&) const { return false; }

private:
    // The input as float32. An input given in another float type is converted once per buffer and version and
    // the same converted array handed to every later prediction, so a kind can memoise what it derives from
    // an input that stays the same across predictions (a decoder's encoder output) whatever its element type.
    MultiArray float32Input(const std::string& name, const MultiArray& array);

    struct Conversion {
        MultiArray source; // held, so that its buffer is not freed and reused while the entry names it
        std::uint64_t version;
        MultiArray converted;
    };

    ModelDescription description_;
    ModelConfiguration configuration_;
    std::mutex lock_;
    std::mutex conversionsLock_;
    std::map<std::string, Conversion> conversions_;
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

    // The folder's weights.safetensors, opened on first use. ModelError: missingFile when there is none,
    // invalidWeights when it is malformed.
    const SafeTensors& weights() const;
    // One tensor of the weights as float32; ModelError (invalidWeights) when it is missing or of another
    // shape.
    std::vector<float> tensor(const std::string& name, const std::vector<int>& shape) const;
    // A weight matrix [rows, cols]: float16 when the file stores it so, else float32. ModelError as for
    // tensor().
    Compute::WeightMatrix weightMatrix(const std::string& name, int rows, int cols) const;

    // ModelError (invalidModel) when a buffer of that many floats (the product of `dimensions`) would exceed
    // what any model of ours needs (2²⁸ floats, 1 GiB): damaged hyper-parameters are refused, not allocated.
    void checkBufferSize(std::initializer_list<std::size_t> dimensions, const std::string& what) const;

    // ModelError (invalidModel) naming this model folder.
    [[noreturn]] void fail(const std::string& problem) const;

private:
    std::filesystem::path folder_;
    nlohmann::json manifest_;
    ModelDescription description_;
    mutable std::shared_ptr<const SafeTensors> weights_;
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
