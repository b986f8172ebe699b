// The model folder readers: the safetensors parser on the bytes alone, and a whole model folder (model.json
// and weights.safetensors) loaded by its kind and, when it loads, run once on zeroed inputs.
//
// Input: a 4-byte little-endian length n, then n bytes of model.json, then the bytes of weights.safetensors.

#include "System/ML/Model.h"
#include "System/ML/SafeTensors.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// One folder for the whole run, rewritten for every input and removed when the fuzzer ends.
class Scratch {
public:
    Scratch()
        : root_(std::filesystem::temp_directory_path() / ("fuzz-model-folder-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(root_ / "Model.mlmodelc");
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    std::filesystem::path model() const { return root_ / "Model.mlmodelc"; }

private:
    std::filesystem::path root_;
};

std::filesystem::path folder() {
    static const Scratch scratch;
    return scratch.model();
}

void write(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    const std::size_t manifestSize =
        std::min<std::size_t>(size - 4, std::size_t(data[0]) | std::size_t(data[1]) << 8 |
                                            std::size_t(data[2]) << 16 | std::size_t(data[3]) << 24);
    const std::uint8_t* manifest = data + 4;
    const std::uint8_t* weights = manifest + manifestSize;
    const std::size_t weightsSize = size - 4 - manifestSize;

    try {
        const auto file = System::ML::SafeTensors::fromBytes(
            std::span(reinterpret_cast<const std::byte*>(weights), weightsSize));
        for (const auto& [name, info] : file.tensors()) {
            (void)file.floats(name, info.shape);
        }
    } catch (const System::ML::SafeTensorsError&) {
    }

    write(folder() / "model.json", manifest, manifestSize);
    write(folder() / "weights.safetensors", weights, weightsSize);
    std::shared_ptr<System::ML::Model> model;
    try {
        model = System::ML::Model::load(folder());
    } catch (const System::ML::ModelError&) {
        return 0;
    }
    std::map<std::string, System::ML::FeatureValue> inputs;
    std::size_t elements = 0;
    for (const auto& [name, description] : model->modelDescription().inputDescriptionsByName) {
        System::ML::MultiArray array(description.multiArrayConstraint->shape,
                                     description.multiArrayConstraint->dataType);
        elements += array.count();
        inputs.emplace(name, array);
    }
    if (elements > (1u << 20)) {
        return 0; // loading was the point; a large model would only slow the fuzzer down
    }
    try {
        model->predict(System::ML::DictionaryFeatureProvider(inputs));
    } catch (const System::ML::ModelError&) {
    }
    return 0;
}
