#include "System/ML/Model.h"

#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace System::ML;
using System::FileTesting::TemporaryFolder;
using System::FileTesting::writeFile;
using Json = nlohmann::json;
using Reason = ModelError::Reason;

// y = x × factor, through an activation buffer kept between predictions as the real kinds keep theirs.
class ScaleModel final : public Model {
public:
    ScaleModel(const ModelSource& source, const ModelConfiguration& configuration)
        : Model(source.description(), configuration)
        , factor_(source.hyperparameter("factor"))
        , outputShape_(source.output("y").shape)
        , scratch_(source.input("x").shape.back()) {
        // A kind reads keys of its own; one of the wrong JSON type must come out as a model error.
        if (source.manifest().contains("label")) {
            label_ = source.manifest()["label"].get<std::string>();
        }
    }

private:
    std::map<std::string, MultiArray> evaluate(const std::map<std::string, MultiArray>& inputs) override {
        const auto x = inputs.at("x").values<float>();
        for (std::size_t i = 0; i < scratch_.size(); ++i) {
            scratch_[i] = x[i];
        }
        for (float& value : scratch_) {
            value *= float(factor_);
        }
        return {{"y", MultiArray::withValues<float>(outputShape_, scratch_)}};
    }

    int factor_;
    std::vector<int> outputShape_;
    std::vector<float> scratch_;
    std::string label_;
};

const ModelKindRegistration registration("test_scale",
                                         [](const ModelSource& source, const ModelConfiguration& c) {
                                             return std::make_shared<ScaleModel>(source, c);
                                         });

Json scaleManifest() {
    return {
        {"format_version", 1},
        {"kind", "test_scale"},
        {"hyperparameters", {{"factor", 3}}},
        {"inputs", {{{"name", "x"}, {"data_type", "float32"}, {"shape", {1, 4}}}}},
        {"outputs",
         {{{"name", "y"}, {"data_type", "float16"}, {"shape", {1, 4}}},
          {{"name", "extra"}, {"data_type", "float32"}, {"shape", {1}}, {"optional", true}}}},
    };
}

std::filesystem::path writeModel(const TemporaryFolder& folder, const std::string& manifest) {
    const auto path = folder / "Scale.mlmodelc";
    std::filesystem::create_directories(path);
    writeFile(path / "model.json", manifest);
    return path;
}

std::shared_ptr<FeatureProvider> inputOf(MultiArray array) {
    return std::make_shared<DictionaryFeatureProvider>(
        std::map<std::string, FeatureValue>{{"x", std::move(array)}});
}

TEST(ModelTest, LoadsAKindAndDescribesItsFeatures) {
    TemporaryFolder folder("ml-model");
    const auto model = Model::load(writeModel(folder, scaleManifest().dump()), {ComputeUnits::cpuOnly});
    EXPECT_EQ(model->configuration().computeUnits, ComputeUnits::cpuOnly);
    const auto& inputs = model->modelDescription().inputDescriptionsByName;
    ASSERT_EQ(inputs.count("x"), 1u);
    EXPECT_EQ(inputs.at("x").type, FeatureType::multiArray);
    EXPECT_EQ(inputs.at("x").multiArrayConstraint,
              (MultiArrayConstraint{{1, 4}, MultiArrayDataType::float32}));
    EXPECT_TRUE(model->modelDescription().outputDescriptionsByName.at("extra").isOptional);
}

TEST(ModelTest, PredictionsConvertFloatInputsAndOutputsToTheDescribedTypes) {
    TemporaryFolder folder("ml-model");
    const auto model = Model::load(writeModel(folder, scaleManifest().dump()));
    for (auto type : {MultiArrayDataType::float32, MultiArrayDataType::float16}) {
        MultiArray x({1, 4}, type);
        for (std::size_t i = 0; i < 4; ++i) {
            x.setValue(i, 0.5 * double(i));
        }
        const auto output = model->predict(*inputOf(x));
        EXPECT_EQ(output->featureNames(), (std::set<std::string>{"y"}));
        const auto y = output->featureValue("y")->multiArrayValue();
        ASSERT_TRUE(y);
        EXPECT_EQ(y->dataType(), MultiArrayDataType::float16);
        EXPECT_EQ(y->toFloats(), (std::vector<float>{0, 1.5f, 3, 4.5f})) << dataTypeName(type);
    }
}

TEST(ModelTest, InputsThatDoNotFitAreRefused) {
    TemporaryFolder folder("ml-model");
    const auto model = Model::load(writeModel(folder, scaleManifest().dump()));
    struct Case {
        const char* name;
        std::shared_ptr<FeatureProvider> input;
    };
    const std::vector<Case> cases = {
        {"missing", std::make_shared<DictionaryFeatureProvider>()},
        {"wrong shape", inputOf(MultiArray({1, 5}, MultiArrayDataType::float32))},
        {"wrong rank", inputOf(MultiArray({4}, MultiArrayDataType::float32))},
        {"integer elements", inputOf(MultiArray({1, 4}, MultiArrayDataType::int32))},
        {"not an array", std::make_shared<DictionaryFeatureProvider>(
                             std::map<std::string, FeatureValue>{{"x", FeatureValue(std::int64_t(4))}})},
    };
    for (const auto& c : cases) {
        try {
            model->predict(*c.input);
            ADD_FAILURE() << c.name << " was accepted";
        } catch (const ModelError& error) {
            EXPECT_EQ(error.reason(), Reason::invalidInput) << c.name;
            EXPECT_NE(error.description().find("\"x\""), std::string::npos) << error.description();
        }
    }
}

TEST(ModelTest, BrokenFoldersGiveClearErrors) {
    TemporaryFolder folder("ml-model");
    auto with = [](std::function<void(Json&)> change) {
        Json manifest = scaleManifest();
        change(manifest);
        return manifest.dump();
    };
    struct Case {
        const char* name;
        std::optional<std::string> manifest; // none: no model.json at all
        Reason reason;
    };
    const std::vector<Case> cases = {
        {"no model.json (another format)", std::nullopt, Reason::otherFormat},
        {"not JSON", std::string("{\"kind\": "), Reason::invalidModel},
        {"not an object", std::string("[1, 2]"), Reason::invalidModel},
        {"no format version", with([](Json& m) { m.erase("format_version"); }), Reason::otherFormat},
        {"a later format version", with([](Json& m) { m["format_version"] = 2; }), Reason::otherFormat},
        {"no kind", with([](Json& m) { m.erase("kind"); }), Reason::invalidModel},
        {"an unknown kind", with([](Json& m) { m["kind"] = "whisper_vocoder"; }), Reason::unknownKind},
        {"an unknown data type", with([](Json& m) { m["inputs"][0]["data_type"] = "bfloat16"; }),
         Reason::invalidModel},
        {"a zero dimension", with([](Json& m) {
             m["inputs"][0]["shape"] = {1, 0};
         }),
         Reason::invalidModel},
        {"a feature named twice", with([](Json& m) { m["inputs"].push_back(m["inputs"][0]); }),
         Reason::invalidModel},
        {"inputs not a list", with([](Json& m) { m["inputs"] = "x"; }), Reason::invalidModel},
        {"a missing hyper-parameter", with([](Json& m) { m["hyperparameters"] = Json::object(); }),
         Reason::invalidModel},
        {"a hyper-parameter as text", with([](Json& m) { m["hyperparameters"]["factor"] = "3"; }),
         Reason::invalidModel},
        {"a key of the kind with the wrong JSON type", with([](Json& m) { m["label"] = 5; }),
         Reason::invalidModel},
        {"a feature the kind needs is missing", with([](Json& m) { m["outputs"].erase(0); }),
         Reason::invalidModel},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto path = folder / ("Case" + std::to_string(i) + ".mlmodelc");
        std::filesystem::create_directories(path);
        if (cases[i].manifest) {
            writeFile(path / "model.json", *cases[i].manifest);
        } else {
            writeFile(path / "coremldata.bin", "compiled elsewhere");
        }
        try {
            Model::load(path);
            ADD_FAILURE() << cases[i].name << " loaded";
        } catch (const ModelError& error) {
            EXPECT_EQ(error.reason(), cases[i].reason) << cases[i].name << ": " << error.description();
            EXPECT_NE(error.description().find(path.string()), std::string::npos) << error.description();
        }
    }
}

TEST(ModelTest, AMissingPathOrAFileIsNotAModel) {
    TemporaryFolder folder("ml-model");
    writeFile(folder / "Plain.mlmodelc", "{}");
    const std::vector<std::pair<std::filesystem::path, Reason>> cases = {
        {folder / "Absent.mlmodelc", Reason::missingFile},
        {folder / "Plain.mlmodelc", Reason::otherFormat},
    };
    for (const auto& [path, reason] : cases) {
        try {
            Model::load(path);
            ADD_FAILURE() << path << " loaded";
        } catch (const ModelError& error) {
            EXPECT_EQ(error.reason(), reason) << error.description();
        }
    }
}

TEST(ModelTest, AStatefulPredictionTakesOnlyTheModelsOwnState) {
    TemporaryFolder folder("ml-model");
    const auto path = writeModel(folder, scaleManifest().dump());
    const auto model = Model::load(path);
    const auto other = Model::load(path);
    const auto state = model->makeState();
    const auto input = inputOf(MultiArray::withValues<float>({1, 4}, {1, 2, 3, 4}));
    EXPECT_EQ(model->predict(*input, *state)->featureValue("y")->multiArrayValue()->toFloats(),
              (std::vector<float>{3, 6, 9, 12}));
    const auto refusal = [&](const FeatureProvider& given, State& with) {
        try {
            model->predict(given, with);
        } catch (const ModelError& error) {
            return error.reason();
        }
        ADD_FAILURE() << "the prediction was made";
        return Reason::invalidOutput;
    };
    EXPECT_EQ(refusal(*input, *other->makeState()), Reason::invalidInput);
    EXPECT_EQ(refusal(*inputOf(MultiArray::withValues<float>({1, 3}, {1, 2, 3})), *state),
              Reason::invalidInput);
}

TEST(ModelTest, ConcurrentPredictionsEachGetTheirOwnResult) {
    TemporaryFolder folder("ml-model");
    const auto model = Model::load(writeModel(folder, scaleManifest().dump()));
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<int> wrong(kThreads, 0);
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                const auto input =
                    inputOf(MultiArray::withValues<float>({1, 4}, std::vector<float>(4, float(t + 1))));
                for (int round = 0; round < kRounds; ++round) {
                    const auto y = model->predict(*input)->featureValue("y")->multiArrayValue()->toFloats();
                    wrong[t] += y != std::vector<float>(4, float(3 * (t + 1)));
                }
            });
        }
    }
    EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

} // namespace
