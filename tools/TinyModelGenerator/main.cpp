// tiny-model-generator: writes a model folder (MelSpectrogram.mlmodelc, AudioEncoder.mlmodelc and
// TextDecoder.mlmodelc) with seeded random weights, for tests and benchmarks.

#include "TinyModelGenerator/TinyModelGenerator.h"

#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

namespace {

int usage() {
    std::cerr << "usage: tiny-model-generator --out FOLDER [--mels N] [--width N] [--layers N] [--heads N]\n"
                 "                            [--positions N] [--seed N] [--weights F32|F16|BF16]\n"
                 "                            [--features float32|float16] [--vocabulary N]\n"
                 "                            [--alignment-heads LAYER:HEAD,...|none]\n";
    return 2;
}

// "2:0,3:1" → {(2, 0), (3, 1)}; "none" → {}.
std::vector<std::pair<int, int>> parseHeads(const std::string& text) {
    std::vector<std::pair<int, int>> heads;
    if (text == "none") {
        return heads;
    }
    std::istringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        const auto colon = item.find(':');
        if (colon == std::string::npos) {
            throw std::invalid_argument("alignment head " + item);
        }
        heads.emplace_back(std::stoi(item.substr(0, colon)), std::stoi(item.substr(colon + 1)));
    }
    return heads;
}

} // namespace

int main(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 1; i < argc; i += 2) {
        const std::string key = argv[i];
        if (key.rfind("--", 0) != 0 || i + 1 >= argc) {
            return usage();
        }
        options[key.substr(2)] = argv[i + 1];
    }
    if (!options.contains("out")) {
        return usage();
    }
    try {
        TinyModelGenerator::EncoderOptions encoder;
        TinyModelGenerator::DecoderOptions decoder;
        auto number = [&](const std::string& key, int& target) {
            if (options.contains(key)) {
                target = std::stoi(options.at(key));
                options.erase(key);
            }
        };
        number("mels", encoder.melCount);
        number("width", encoder.width);
        number("layers", encoder.layers);
        number("heads", encoder.heads);
        number("positions", encoder.positions);
        number("vocabulary", decoder.vocabularySize);
        std::optional<std::vector<std::pair<int, int>>> heads;
        if (options.contains("alignment-heads")) {
            heads = parseHeads(options.at("alignment-heads"));
            options.erase("alignment-heads");
        }
        if (options.contains("seed")) {
            encoder.seed = std::stoull(options.at("seed"));
            options.erase("seed");
        }
        if (options.contains("weights")) {
            const std::string name = options.at("weights");
            encoder.weightType = name == "F16"    ? System::ML::SafeTensorsDType::F16
                                 : name == "BF16" ? System::ML::SafeTensorsDType::BF16
                                 : name == "F32"  ? System::ML::SafeTensorsDType::F32
                                                  : throw std::invalid_argument("weights " + name);
            options.erase("weights");
        }
        if (options.contains("features")) {
            const auto type = System::ML::dataTypeFromName(options.at("features"));
            if (!type || !System::ML::isFloatType(*type)) {
                throw std::invalid_argument("features " + options.at("features"));
            }
            encoder.inputType = encoder.outputType = *type;
            options.erase("features");
        }
        const std::string out = options.at("out");
        options.erase("out");
        if (!options.empty()) {
            return usage();
        }
        decoder.width = encoder.width;
        decoder.layers = encoder.layers;
        decoder.heads = encoder.heads;
        decoder.encoderPositions = encoder.positions;
        decoder.seed = encoder.seed + 1;
        decoder.weightType = encoder.weightType;
        decoder.featureType = encoder.outputType;
        decoder.alignmentHeads =
            heads ? *heads : TinyModelGenerator::upperHalfHeads(decoder.layers, decoder.heads);
        TinyModelGenerator::writeFrontEnd(out, encoder);
        TinyModelGenerator::writeDecoderModel(std::filesystem::path(out) / "TextDecoder.mlmodelc", decoder);
        std::cout << "wrote " << out << "/MelSpectrogram.mlmodelc, " << out << "/AudioEncoder.mlmodelc and "
                  << out << "/TextDecoder.mlmodelc\n";
    } catch (const std::exception& error) {
        std::cerr << "tiny-model-generator: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
