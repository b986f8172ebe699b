#pragma once

#include <optional>

#include "System/ML/ModelConfiguration.h"

namespace ZodozorEro {

// The compute units the log-mel, audio-encoder and text-decoder models are loaded with. Our runtime computes
// on the processor whatever is asked; the choice is kept so it can be passed on and shown.
struct ModelComputeOptions {
    System::ML::ComputeUnits melCompute = System::ML::ComputeUnits::cpuAndGPU;
    System::ML::ComputeUnits audioEncoderCompute = defaultAudioEncoderCompute;
    System::ML::ComputeUnits textDecoderCompute = System::ML::ComputeUnits::cpuAndNeuralEngine;

    // What an encoder without an explicit choice runs on: the choice made for current systems, since the
    // runtime has no older system whose encoder would need the graphics units instead.
    static constexpr System::ML::ComputeUnits defaultAudioEncoderCompute =
        System::ML::ComputeUnits::cpuAndNeuralEngine;

    ModelComputeOptions() = default;
    ModelComputeOptions(System::ML::ComputeUnits melCompute,
                        std::optional<System::ML::ComputeUnits> audioEncoderCompute,
                        System::ML::ComputeUnits textDecoderCompute)
        : melCompute(melCompute)
        , audioEncoderCompute(audioEncoderCompute.value_or(defaultAudioEncoderCompute))
        , textDecoderCompute(textDecoderCompute) {}

    bool operator==(const ModelComputeOptions&) const = default;
};

} // namespace ZodozorEro
