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

void writeEncoderModel(const fs::path& folder, const EncoderOptions& options) {
    RandomWeights random(options.seed);
    System::ML::SafeTensorsWriter weights;
    const int s = options.width;
    auto add = [&](const std::string& name, const std::vector<int>& shape, const std::vector<float>& values) {
        weights.add(name, shape, values, options.weightType);
    };
    auto count = [](const std::vector<int>& shape) {
        std::size_t n = 1;
        for (int d : shape) {
            n *= std::size_t(d);
        }
        return n;
    };
    // Matrices scaled by their fan-in, so every product keeps its inputs' magnitude.
    auto matrix = [&](const std::string& name, const std::vector<int>& shape, int fanIn) {
        add(name, shape, random.normal(count(shape), 1.0f / std::sqrt(float(fanIn))));
    };
    auto bias = [&](const std::string& name, int size) {
        add(name, {size}, random.normal(std::size_t(size), 0.02f));
    };
    auto norm = [&](const std::string& name) {
        add(name + ".weight", {s}, random.normal(std::size_t(s), 0.1f, 1.0f));
        bias(name + ".bias", s);
    };

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
        &weights);
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
