// tiny-model-generator: writes the front end of a model folder (MelSpectrogram.mlmodelc and
// AudioEncoder.mlmodelc) with seeded random weights, for tests and benchmarks.

#include "TinyModelGenerator/TinyModelGenerator.h"

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

namespace {

int usage() {
    std::cerr << "usage: tiny-model-generator --out FOLDER [--mels N] [--width N] [--layers N] [--heads N]\n"
                 "                            [--positions N] [--seed N] [--weights F32|F16|BF16]\n"
                 "                            [--features float32|float16]\n";
    return 2;
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
        TinyModelGenerator::writeFrontEnd(out, encoder);
        std::cout << "wrote " << out << "/MelSpectrogram.mlmodelc and " << out << "/AudioEncoder.mlmodelc\n";
    } catch (const std::exception& error) {
        std::cerr << "tiny-model-generator: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
