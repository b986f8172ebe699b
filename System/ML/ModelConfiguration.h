#pragma once

#include <cstdint>

namespace System::ML {

// Where a model may run. This runtime computes on the processor whatever is asked; the choice is kept so that
// callers can pass it on and show it. Values outside the four named ones may occur in stored settings.
enum class ComputeUnits : std::int32_t {
    cpuOnly = 0,
    cpuAndGPU = 1,
    all = 2,
    cpuAndNeuralEngine = 3,
};

struct ModelConfiguration {
    ComputeUnits computeUnits = ComputeUnits::all;
};

// Options of one prediction; none yet.
struct PredictionOptions {};

} // namespace System::ML
