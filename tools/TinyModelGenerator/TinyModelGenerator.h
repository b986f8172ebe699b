#pragma once

// Models with seeded random weights in the model folder format (`<Name>.mlmodelc/` with model.json and
// weights.safetensors), of any size. The same options and seed always give the same bytes. A new kind adds
// its writer here on top of `writeModelFolder` and `RandomWeights`.

#include "System/ML/ModelDescription.h"
#include "System/ML/SafeTensors.h"

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace TinyModelGenerator {

// Random numbers that are the same on every platform for one seed (the standard distributions are not).
class RandomWeights {
public:
    explicit RandomWeights(std::uint64_t seed)
        : engine_(seed) {}
    // Normally distributed values of mean `mean` and standard deviation `deviation`.
    std::vector<float> normal(std::size_t count, float deviation, float mean = 0.0f);
    // Uniformly distributed values in [low, high).
    std::vector<float> uniform(std::size_t count, float low, float high);

private:
    double unit(); // in [0, 1)
    std::mt19937_64 engine_;
};

// A multi-array feature for a model's feature table.
System::ML::FeatureDescription multiArrayFeature(const std::string& name, std::vector<int> shape,
                                                 System::ML::MultiArrayDataType dataType,
                                                 bool isOptional = false);

// Creates `folder` with its model.json and, when `weights` is given, its weights.safetensors. `extra` holds
// further top-level keys of model.json (a decoder's "alignment_heads", say).
void writeModelFolder(const std::filesystem::path& folder, const std::string& kind,
                      const nlohmann::json& hyperparameters,
                      const std::vector<System::ML::FeatureDescription>& inputs,
                      const std::vector<System::ML::FeatureDescription>& outputs,
                      const System::ML::SafeTensorsWriter* weights,
                      const nlohmann::json& extra = nlohmann::json::object());

// The triangular mel filters of the Slaney scale with area normalisation, [mels, fftLength / 2 + 1]
// row-major, from 0 Hz to half the sample rate.
std::vector<float> slaneyMelFilters(int melCount, int fftLength, int sampleRate);

struct LogMelOptions {
    int melCount = 80;
    int fftLength = 400;
    int hopLength = 160;
    int sampleCount = 480000;
    int sampleRate = 16000;
    System::ML::MultiArrayDataType outputType = System::ML::MultiArrayDataType::float32;
};

// A "log_mel" model: "audio" [samples] → "melspectrogram_features" [1, mels, 1, samples / hop].
void writeLogMelModel(const std::filesystem::path& folder, const LogMelOptions& options = {});

struct EncoderOptions {
    int melCount = 80;
    int width = 384;
    int layers = 4;
    int heads = 6;
    int positions = 1500;
    std::uint64_t seed = 1;
    System::ML::MultiArrayDataType inputType = System::ML::MultiArrayDataType::float32;
    System::ML::MultiArrayDataType outputType = System::ML::MultiArrayDataType::float32;
    System::ML::SafeTensorsDType weightType = System::ML::SafeTensorsDType::F32;
};

// A "whisper_encoder" model: "melspectrogram_features" [1, mels, 1, 2 · positions] →
// "encoder_output_embeds" [1, width, 1, positions], with random weights scaled so activations stay near 1.
void writeEncoderModel(const std::filesystem::path& folder, const EncoderOptions& options = {});

// The front end of a model folder as the pipeline expects it: MelSpectrogram.mlmodelc and
// AudioEncoder.mlmodelc inside `folder`, the mel model sized for the encoder (2 · positions frames of
// `hopLength` samples).
void writeFrontEnd(const std::filesystem::path& folder, const EncoderOptions& encoder, int hopLength = 160,
                   int fftLength = 400);

} // namespace TinyModelGenerator
