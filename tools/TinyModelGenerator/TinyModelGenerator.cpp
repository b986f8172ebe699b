#include "TinyModelGenerator/TinyModelGenerator.h"

#include "System/ML/Model.h"

#include <cmath>
#include <fstream>

namespace TinyModelGenerator {

namespace fs = std::filesystem;
using System::ML::FeatureDescription;
using System::ML::MultiArrayDataType;
using Json = nlohmann::json;

double RandomWeights::unit() {
    return double(engine_() >> 11) * 0x1.0p-53;
}

std::vector<float> RandomWeights::normal(std::size_t count, float deviation, float mean) {
    std::vector<float> values(count);
    for (std::size_t i = 0; i < count; ++i) {
        // Box–Muller; 1 − u keeps the logarithm finite.
        const double radius = std::sqrt(-2.0 * std::log(1.0 - unit()));
        values[i] = mean + deviation * float(radius * std::cos(2.0 * M_PI * unit()));
    }
    return values;
}

std::vector<float> RandomWeights::uniform(std::size_t count, float low, float high) {
    std::vector<float> values(count);
    for (float& value : values) {
        value = low + (high - low) * float(unit());
    }
    return values;
}

FeatureDescription multiArrayFeature(const std::string& name, std::vector<int> shape,
                                     MultiArrayDataType dataType, bool isOptional) {
    return {name, System::ML::FeatureType::multiArray,
            System::ML::MultiArrayConstraint{std::move(shape), dataType}, isOptional};
}

void writeModelFolder(const fs::path& folder, const std::string& kind, const Json& hyperparameters,
                      const std::vector<FeatureDescription>& inputs,
                      const std::vector<FeatureDescription>& outputs,
                      const System::ML::SafeTensorsWriter* weights, const Json& extra) {
    fs::create_directories(folder);
    Json manifest = extra.is_object() ? extra : Json::object();
    manifest["format_version"] = System::ML::kModelFormatVersion;
    manifest["kind"] = kind;
    manifest["hyperparameters"] = hyperparameters;
    manifest["inputs"] = Json::array();
    for (const auto& input : inputs) {
        manifest["inputs"].push_back(System::ML::featureTableEntry(input));
    }
    manifest["outputs"] = Json::array();
    for (const auto& output : outputs) {
        manifest["outputs"].push_back(System::ML::featureTableEntry(output));
    }
    std::ofstream(folder / "model.json") << manifest.dump(2) << "\n";
    if (weights) {
        weights->write(folder / "weights.safetensors");
    }
}

std::vector<float> slaneyMelFilters(int melCount, int fftLength, int sampleRate) {
    // The Slaney scale: linear below 1 kHz (200/3 Hz per mel), logarithmic above.
    constexpr double linearStep = 200.0 / 3.0;
    constexpr double breakHz = 1000.0;
    constexpr double breakMel = breakHz / linearStep;
    const double logStep = std::log(6.4) / 27.0;
    auto toMel = [&](double hz) {
        return hz < breakHz ? hz / linearStep : breakMel + std::log(hz / breakHz) / logStep;
    };
    auto toHz = [&](double mel) {
        return mel < breakMel ? mel * linearStep : breakHz * std::exp(logStep * (mel - breakMel));
    };

    const int bins = fftLength / 2 + 1;
    std::vector<double> edges(std::size_t(melCount) + 2);
    const double top = toMel(sampleRate / 2.0);
    for (std::size_t i = 0; i < edges.size(); ++i) {
        edges[i] = toHz(top * double(i) / double(melCount + 1));
    }
    std::vector<float> filters(std::size_t(melCount) * std::size_t(bins));
    for (int m = 0; m < melCount; ++m) {
        const double left = edges[std::size_t(m)], centre = edges[std::size_t(m) + 1],
                     right = edges[std::size_t(m) + 2];
        const double area = 2.0 / (right - left);
        for (int k = 0; k < bins; ++k) {
            const double hz = double(k) * sampleRate / fftLength;
            const double rising = (hz - left) / (centre - left);
            const double falling = (right - hz) / (right - centre);
            filters[std::size_t(m) * std::size_t(bins) + std::size_t(k)] =
                float(std::max(0.0, std::min(rising, falling)) * area);
        }
    }
    return filters;
}

void writeLogMelModel(const fs::path& folder, const LogMelOptions& options) {
    System::ML::SafeTensorsWriter weights;
    const int bins = options.fftLength / 2 + 1;
    weights.add("mel_filters", {options.melCount, bins},
                slaneyMelFilters(options.melCount, options.fftLength, options.sampleRate));
    writeModelFolder(
        folder, "log_mel",
        {{"n_mels", options.melCount}, {"n_fft", options.fftLength}, {"hop_length", options.hopLength}},
        {multiArrayFeature("audio", {options.sampleCount}, MultiArrayDataType::float32)},
        {multiArrayFeature("melspectrogram_features",
                           {1, options.melCount, 1, options.sampleCount / options.hopLength},
                           options.outputType)},
        &weights);
}

namespace {

// Random tensors scaled as a trained network's are, so that every activation stays near 1.
class RandomTensors {
public:
    RandomTensors(std::uint64_t seed, System::ML::SafeTensorsDType dtype, int width)
        : random_(seed)
        , dtype_(dtype)
        , width_(width) {}

    // Scaled by the fan-in, so every product keeps its inputs' magnitude.
    void matrix(const std::string& name, const std::vector<int>& shape, int fanIn) {
        add(name, shape, random_.normal(count(shape), 1.0f / std::sqrt(float(fanIn))));
    }
    void bias(const std::string& name, int size) {
        add(name, {size}, random_.normal(std::size_t(size), 0.02f));
    }
    void norm(const std::string& name) {
        add(name + ".weight", {width_}, random_.normal(std::size_t(width_), 0.1f, 1.0f));
        bias(name + ".bias", width_);
    }
    void normal(const std::string& name, const std::vector<int>& shape, float deviation) {
        add(name, shape, random_.normal(count(shape), deviation));
    }

    const System::ML::SafeTensorsWriter& writer() const { return writer_; }

private:
    static std::size_t count(const std::vector<int>& shape) {
        std::size_t n = 1;
        for (int d : shape) {
            n *= std::size_t(d);
        }
        return n;
    }
    void add(const std::string& name, const std::vector<int>& shape, const std::vector<float>& values) {
        writer_.add(name, shape, values, dtype_);
    }

    RandomWeights random_;
    System::ML::SafeTensorsDType dtype_;
    int width_;
    System::ML::SafeTensorsWriter writer_;
};

} // namespace

void writeEncoderModel(const fs::path& folder, const EncoderOptions& options) {
    RandomTensors weights(options.seed, options.weightType, options.width);
    const int s = options.width;
    auto matrix = [&](const std::string& name, const std::vector<int>& shape, int fanIn) {
        weights.matrix(name, shape, fanIn);
    };
    auto bias = [&](const std::string& name, int size) { weights.bias(name, size); };
    auto norm = [&](const std::string& name) { weights.norm(name); };

    matrix("conv1.weight", {s, options.melCount, 3}, options.melCount * 3);
    bias("conv1.bias", s);
    matrix("conv2.weight", {s, s, 3}, s * 3);
    bias("conv2.bias", s);
    for (int l = 0; l < options.layers; ++l) {
        const std::string p = "blocks." + std::to_string(l) + ".";
        norm(p + "attn_ln");
        matrix(p + "attn.query.weight", {s, s}, s);
        bias(p + "attn.query.bias", s);
        matrix(p + "attn.key.weight", {s, s}, s);
        matrix(p + "attn.value.weight", {s, s}, s);
        bias(p + "attn.value.bias", s);
        matrix(p + "attn.out.weight", {s, s}, s);
        bias(p + "attn.out.bias", s);
        norm(p + "mlp_ln");
        matrix(p + "mlp.0.weight", {4 * s, s}, s);
        bias(p + "mlp.0.bias", 4 * s);
        matrix(p + "mlp.2.weight", {s, 4 * s}, 4 * s);
        bias(p + "mlp.2.bias", s);
    }
    norm("ln_post");

    writeModelFolder(
        folder, "whisper_encoder",
        {{"n_mels", options.melCount},
         {"n_state", s},
         {"n_layer", options.layers},
         {"n_head", options.heads},
         {"n_ctx", options.positions}},
        {multiArrayFeature("melspectrogram_features", {1, options.melCount, 1, 2 * options.positions},
                           options.inputType)},
        {multiArrayFeature("encoder_output_embeds", {1, s, 1, options.positions}, options.outputType)},
        &weights.writer());
}

std::vector<std::pair<int, int>> upperHalfHeads(int layers, int heads) {
    std::vector<std::pair<int, int>> result;
    for (int l = layers / 2; l < layers; ++l) {
        for (int h = 0; h < heads; ++h) {
            result.emplace_back(l, h);
        }
    }
    return result;
}

namespace {

// The features of a decoder model, shared by the network and the scripted kind.
void decoderFeatures(int vocabularySize, int width, int cacheChannels, int cachePositions,
                     int encoderPositions, bool alignment, MultiArrayDataType floats,
                     std::vector<FeatureDescription>& inputs, std::vector<FeatureDescription>& outputs) {
    const auto int32 = MultiArrayDataType::int32;
    inputs = {
        multiArrayFeature("input_ids", {1}, int32),
        multiArrayFeature("cache_length", {1}, int32),
        multiArrayFeature("key_cache", {1, cacheChannels, 1, cachePositions}, floats),
        multiArrayFeature("value_cache", {1, cacheChannels, 1, cachePositions}, floats),
        multiArrayFeature("kv_cache_update_mask", {1, cachePositions}, int32),
        multiArrayFeature("encoder_output_embeds", {1, width, 1, encoderPositions}, floats),
        multiArrayFeature("decoder_key_padding_mask", {1, cachePositions}, floats),
    };
    outputs = {
        multiArrayFeature("logits", {1, 1, vocabularySize}, floats),
        multiArrayFeature("key_cache_updates", {1, cacheChannels, 1, 1}, floats),
        multiArrayFeature("value_cache_updates", {1, cacheChannels, 1, 1}, floats),
    };
    if (alignment) {
        outputs.push_back(multiArrayFeature("alignment_heads_weights", {1, encoderPositions}, floats));
    }
}

} // namespace

void writeDecoderModel(const fs::path& folder, const DecoderOptions& options) {
    RandomTensors weights(options.seed, options.weightType, options.width);
    const int s = options.width;
    // Embeddings of a trained decoder are small: its logits, the embeddings times the normalised stream,
    // spread over a few units rather than over tens of them.
    weights.normal("token_embedding.weight", {options.vocabularySize, s}, 1.0f / std::sqrt(float(s)));
    weights.normal("positional_embedding", {options.textPositions, s}, 0.5f);
    for (int l = 0; l < options.layers; ++l) {
        const std::string p = "blocks." + std::to_string(l) + ".";
        for (const std::string attention : {"attn", "cross_attn"}) {
            weights.norm(p + attention + "_ln");
            weights.matrix(p + attention + ".query.weight", {s, s}, s);
            weights.bias(p + attention + ".query.bias", s);
            weights.matrix(p + attention + ".key.weight", {s, s}, s);
            weights.matrix(p + attention + ".value.weight", {s, s}, s);
            weights.bias(p + attention + ".value.bias", s);
            weights.matrix(p + attention + ".out.weight", {s, s}, s);
            weights.bias(p + attention + ".out.bias", s);
        }
        weights.norm(p + "mlp_ln");
        weights.matrix(p + "mlp.0.weight", {4 * s, s}, s);
        weights.bias(p + "mlp.0.bias", 4 * s);
        weights.matrix(p + "mlp.2.weight", {s, 4 * s}, 4 * s);
        weights.bias(p + "mlp.2.bias", s);
    }
    weights.norm("ln");

    std::vector<FeatureDescription> inputs, outputs;
    decoderFeatures(options.vocabularySize, s, options.layers * s, options.cachePositions,
                    options.encoderPositions, !options.alignmentHeads.empty(), options.featureType, inputs,
                    outputs);
    Json extra = Json::object();
    if (!options.alignmentHeads.empty()) {
        extra["alignment_heads"] = Json::array();
        for (const auto& [layer, head] : options.alignmentHeads) {
            extra["alignment_heads"].push_back({layer, head});
        }
    }
    writeModelFolder(folder, "whisper_decoder",
                     {{"n_vocab", options.vocabularySize},
                      {"n_state", s},
                      {"n_layer", options.layers},
                      {"n_head", options.heads},
                      {"n_text_ctx", options.textPositions}},
                     inputs, outputs, &weights.writer(), extra);
}

void writeScriptedDecoderModel(const fs::path& folder, const ScriptedDecoderOptions& options) {
    std::vector<FeatureDescription> inputs, outputs;
    decoderFeatures(options.vocabularySize, options.width, options.cacheChannels, options.cachePositions,
                    options.encoderPositions, options.alignment, options.featureType, inputs, outputs);
    auto table = [](const std::map<int, float>& entries) {
        Json object = Json::object();
        for (const auto& [index, value] : entries) {
            object[std::to_string(index)] = value;
        }
        return object;
    };
    Json script = Json::array();
    for (const auto& step : options.script) {
        script.push_back({{"logits", table(step.logits)}, {"alignment", table(step.alignment)}});
    }
    writeModelFolder(folder, "scripted_decoder", Json::object(), inputs, outputs, nullptr,
                     {{"script", script}, {"floor", options.floor}});
}

void writeFrontEnd(const fs::path& folder, const EncoderOptions& encoder, int hopLength, int fftLength) {
    LogMelOptions mel;
    mel.melCount = encoder.melCount;
    mel.fftLength = fftLength;
    mel.hopLength = hopLength;
    mel.sampleCount = 2 * encoder.positions * hopLength;
    mel.outputType = encoder.inputType;
    writeLogMelModel(folder / "MelSpectrogram.mlmodelc", mel);
    writeEncoderModel(folder / "AudioEncoder.mlmodelc", encoder);
}

} // namespace TinyModelGenerator
