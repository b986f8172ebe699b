// Broken model folders of the real kinds: every one is a clear ModelError, none a crash.

#include "System/ML/Model.h"

#include "System/Tests/FileTesting/FileTesting.h"
#include "TinyModelGenerator/TinyModelGenerator.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace System::ML;
using System::FileTesting::TemporaryFolder;
using Reason = ModelError::Reason;
using Json = nlohmann::json;
namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

// The weights file with its header replaced, the data kept.
std::string withHeader(const std::string& file, const std::function<void(Json&)>& change) {
    std::uint64_t length = 0;
    for (int i = 7; i >= 0; --i) {
        length = (length << 8) | std::uint8_t(file[std::size_t(i)]);
    }
    Json header = Json::parse(file.substr(8, length));
    change(header);
    const std::string text = header.dump();
    std::string result(8, '\0');
    for (int i = 0; i < 8; ++i) {
        result[std::size_t(i)] = char((text.size() >> (8 * i)) & 0xFF);
    }
    return result + text + file.substr(8 + length);
}

TEST(ModelFolderTest, BrokenFoldersOfTheRealKindsAreClearErrors) {
    TemporaryFolder folder("model-folder");
    TinyModelGenerator::EncoderOptions options;
    options.melCount = 4;
    options.width = 8;
    options.heads = 2;
    options.layers = 1;
    options.positions = 4;
    TinyModelGenerator::writeFrontEnd(folder / "good", options);
    const auto goodEncoder = folder / "good" / "AudioEncoder.mlmodelc";
    const auto goodMel = folder / "good" / "MelSpectrogram.mlmodelc";
    ASSERT_NO_THROW(Model::load(goodEncoder));
    ASSERT_NO_THROW(Model::load(goodMel));
    const std::string weights = readFile(goodEncoder / "weights.safetensors");
    const Json manifest = Json::parse(readFile(goodEncoder / "model.json"));

    struct Case {
        const char* name;
        std::function<void(const fs::path&)> breakIt; // applied to a copy of the good encoder
        Reason reason;
    };
    auto writeWeights = [](const std::string& bytes) {
        return [bytes](const fs::path& path) {
            System::FileTesting::writeFile(path / "weights.safetensors", bytes);
        };
    };
    auto writeManifest = [&](const std::function<void(Json&)>& change) {
        return [&, change](const fs::path& path) {
            Json changed = manifest;
            change(changed);
            System::FileTesting::writeFile(path / "model.json", changed.dump());
        };
    };
    const std::vector<Case> cases = {
        {"no weights file", [](const fs::path& path) { fs::remove(path / "weights.safetensors"); },
         Reason::missingFile},
        {"no model.json", [](const fs::path& path) { fs::remove(path / "model.json"); }, Reason::otherFormat},
        {"a compiled folder of another format",
         [](const fs::path& path) {
             fs::remove(path / "model.json");
             fs::remove(path / "weights.safetensors");
             System::FileTesting::writeFile(path / "coremldata.bin", "\x01\x02");
             fs::create_directories(path / "weights");
             System::FileTesting::writeFile(path / "weights" / "weight.bin", "\0\0\0\0");
         },
         Reason::otherFormat},
        {"weights cut short", writeWeights(weights.substr(0, weights.size() - 4)), Reason::invalidWeights},
        {"a header pointing past the file",
         writeWeights(withHeader(weights,
                                 [](Json& h) {
                                     h["ln_post.bias"]["data_offsets"][1] =
                                         h["ln_post.bias"]["data_offsets"][1].get<std::uint64_t>() + 4096;
                                 })),
         Reason::invalidWeights},
        {"an integer dtype",
         writeWeights(withHeader(weights, [](Json& h) { h["conv1.bias"]["dtype"] = "I32"; })),
         Reason::invalidWeights},
        {"a tensor of another shape",
         writeWeights(withHeader(weights,
                                 [](Json& h) {
                                     h["conv1.weight"]["shape"] = {8, 3, 4};
                                 })),
         Reason::invalidWeights},
        {"a missing tensor",
         writeWeights(withHeader(weights, [](Json& h) { h.erase("blocks.0.attn.key.weight"); })),
         Reason::invalidWeights},
        {"an unknown kind", writeManifest([](Json& m) { m["kind"] = "whisper_vocoder"; }),
         Reason::unknownKind},
        {"more layers than the weights hold",
         writeManifest([](Json& m) { m["hyperparameters"]["n_layer"] = 2; }), Reason::invalidWeights},
        {"a width the heads do not divide",
         writeManifest([](Json& m) { m["hyperparameters"]["n_head"] = 3; }), Reason::invalidModel},
        {"an output of the wrong shape", writeManifest([](Json& m) {
             m["outputs"][0]["shape"] = {1, 8, 1, 5};
         }),
         Reason::invalidModel},
        {"frames that do not halve to the positions", writeManifest([](Json& m) {
             m["inputs"][0]["shape"] = {1, 4, 1, 12};
         }),
         Reason::invalidModel},
        {"no hyper-parameters", writeManifest([](Json& m) { m.erase("hyperparameters"); }),
         Reason::invalidModel},
        {"a context no buffer could hold", writeManifest([](Json& m) {
             m["hyperparameters"]["n_ctx"] = 1000000;
             m["inputs"][0]["shape"] = {1, 4, 1, 2000000};
             m["outputs"][0]["shape"] = {1, 8, 1, 1000000};
         }),
         Reason::invalidModel},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto path = folder / ("case" + std::to_string(i)) / "AudioEncoder.mlmodelc";
        fs::create_directories(path);
        fs::copy(goodEncoder, path, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        cases[i].breakIt(path);
        try {
            Model::load(path);
            ADD_FAILURE() << cases[i].name << " loaded";
        } catch (const ModelError& error) {
            EXPECT_EQ(error.reason(), cases[i].reason) << cases[i].name << ": " << error.description();
            EXPECT_NE(error.description().find(path.string()), std::string::npos)
                << cases[i].name << ": " << error.description();
        }
    }
}

TEST(ModelFolderTest, TheLogMelKindChecksItsFiltersAndShapes) {
    TemporaryFolder folder("model-folder");
    TinyModelGenerator::LogMelOptions options;
    options.melCount = 4;
    options.sampleCount = 1600;
    TinyModelGenerator::writeLogMelModel(folder / "Mel.mlmodelc", options);
    const Json manifest = Json::parse(readFile(folder / "Mel.mlmodelc" / "model.json"));
    const std::vector<std::pair<const char*, std::function<void(Json&)>>> cases = {
        {"more mels than the filters",
         [](Json& m) {
             m["hyperparameters"]["n_mels"] = 5;
             m["outputs"][0]["shape"] = {1, 5, 1, 10};
         }},
        {"too few frames",
         [](Json& m) {
             m["outputs"][0]["shape"] = {1, 4, 1, 9};
         }},
        {"audio shorter than half a window",
         [](Json& m) {
             m["inputs"][0]["shape"] = {200};
             m["outputs"][0]["shape"] = {1, 4, 1, 1};
         }},
        {"an odd transform length", [](Json& m) { m["hyperparameters"]["n_fft"] = 401; }},
        {"two-dimensional audio",
         [](Json& m) {
             m["inputs"][0]["shape"] = {1, 1600};
         }},
    };
    for (const auto& [name, change] : cases) {
        Json changed = manifest;
        change(changed);
        System::FileTesting::writeFile(folder / "Mel.mlmodelc" / "model.json", changed.dump());
        try {
            Model::load(folder / "Mel.mlmodelc");
            ADD_FAILURE() << name << " loaded";
        } catch (const ModelError& error) {
            EXPECT_TRUE(error.reason() == Reason::invalidModel || error.reason() == Reason::invalidWeights)
                << name << ": " << error.description();
        }
    }
}

} // namespace
