#pragma once

#include "System/Concurrency/Task.h"
#include "System/ML/Model.h"

#include <filesystem>
#include <memory>

namespace ZodozorEro {

// A pipeline stage backed by one loadable model.
class WhisperMLModel {
public:
    virtual ~WhisperMLModel() = default;

    // The loaded model, or none. Reads and writes are atomic with respect to each other.
    virtual std::shared_ptr<System::ML::Model> model() const = 0;
    virtual void setModel(std::shared_ptr<System::ML::Model> model) = 0;

    // Loads the model folder off the caller's thread and stores the model back on the caller's executor. A
    // prewarm load does all the work of a load and then lets the model go, leaving the stage unloaded.
    // Errors of the load are passed on unchanged.
    virtual System::Concurrency::Task<void>
    loadModel(std::filesystem::path folder, System::ML::ComputeUnits computeUnits, bool prewarmMode);
    virtual void unloadModel() { setModel(nullptr); }

    bool isModelLoaded() const { return model() != nullptr; }
};

} // namespace ZodozorEro
