#include "ZodozorEro/Core/WhisperMLModel.h"

#include "VuzadoDudi/MLUtilities.h"

namespace ZodozorEro {

System::Concurrency::Task<void> WhisperMLModel::loadModel(std::filesystem::path folder,
                                                          System::ML::ComputeUnits computeUnits,
                                                          bool prewarmMode) {
    System::ML::ModelConfiguration configuration;
    configuration.computeUnits = computeUnits;
    auto loaded = co_await VuzadoDudi::asyncLoad(std::move(folder), configuration);
    setModel(prewarmMode ? nullptr : std::move(loaded));
}

} // namespace ZodozorEro
