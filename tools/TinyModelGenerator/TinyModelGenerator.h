#pragma once

// Models with seeded random weights in the model folder format (`<Name>.mlmodelc/` with model.json and
// weights.safetensors), of any size. The same options and seed always give the same bytes. A new kind adds
// its writer here on top of `writeModelFolder` and `RandomWeights`.

#include "System/ML/ModelDescription.h"
#include "System/ML/SafeTensors.h"

#include <cstdint>
#include <filesystem>
#include <map>
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

struct DecoderOptions {
    // 51864 for an English-only model, 51865 for a multilingual one, 51866 for the latest large one; or the
    // size of a test tokenizer.
    int vocabularySize = 51865;
    int width = 384;
    int layers = 4;
    int heads = 6;
    int textPositions = 448;  // positional embeddings
    int cachePositions = 224; // positions of the key/value cache
    int encoderPositions = 1500;
    // (layer, head) pairs averaged into "alignment_heads_weights"; none leaves that output out.
    std::vector<std::pair<int, int>> alignmentHeads;
    std::uint64_t seed = 2;
    // Of the float features: the caches, the masks, the encoder output, the logits and the updates.
    System::ML::MultiArrayDataType featureType = System::ML::MultiArrayDataType::float32;
    System::ML::SafeTensorsDType weightType = System::ML::SafeTensorsDType::F32;
};

// Every head of the upper half of the layers: the alignment heads of a model whose own are not known.
std::vector<std::pair<int, int>> upperHalfHeads(int layers, int heads);

// A "whisper_decoder" model with random weights scaled so activations stay near 1. Its features:
// "input_ids" [1], "cache_length" [1], "kv_cache_update_mask" [1, cache] (int32); "key_cache",
// "value_cache" [1, layers · width, 1, cache], "encoder_output_embeds" [1, width, 1, encoder positions],
// "decoder_key_padding_mask" [1, cache] → "logits" [1, 1, vocabulary], "key_cache_updates",
// "value_cache_updates" [1, layers · width, 1, 1] and, with alignment heads, "alignment_heads_weights"
// [1, encoder positions].
void writeDecoderModel(const std::filesystem::path& folder, const DecoderOptions& options = {});

// One prediction of a scripted decoder: logits by token (the rest at the floor) and alignment weights by
// encoder frame (the rest 0).
struct ScriptStep {
    std::map<int, float> logits;
    std::map<int, float> alignment;
    // The step that makes `token` the only likely one.
    static ScriptStep token(int token) { return {{{token, 0.0f}}, {}}; }
};

struct ScriptedDecoderOptions {
    int vocabularySize = 51865;
    int width = 384;          // of the encoder output
    int cacheChannels = 1536; // of the key/value cache
    int cachePositions = 224;
    int encoderPositions = 1500;
    bool alignment = true;
    float floor = -100.0f;
    // The step at index cache_length answers; past the end the last step answers again.
    std::vector<ScriptStep> script = {ScriptStep::token(0)};
    System::ML::MultiArrayDataType featureType = System::ML::MultiArrayDataType::float32;
};

// A "scripted_decoder" model with the features of `writeDecoderModel`.
void writeScriptedDecoderModel(const std::filesystem::path& folder, const ScriptedDecoderOptions& options);

// The front end of a model folder as the pipeline expects it: MelSpectrogram.mlmodelc and
// AudioEncoder.mlmodelc inside `folder`, the mel model sized for the encoder (2 · positions frames of
// `hopLength` samples).
void writeFrontEnd(const std::filesystem::path& folder, const EncoderOptions& encoder, int hopLength = 160,
                   int fftLength = 400);

} // namespace TinyModelGenerator
