#include "FacadeTesting.h"

#include "ZodozorEro/Core/AudioEncoder.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/FeatureExtractor.h"
#include "ZodozorEro/Core/TextDecoder.h"
#include "ZodozorEro/Core/ZodozorEro.h"
#include "ZodozorEro/Utilities/ModelUtilities.h"
#include "ZodozorEro/Utilities/WhisperError.h"
#include "../Data/LogCapture.h"

#include "System/Concurrency/BlockingRun.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace ZodozorEro;
using namespace FacadeTesting;
using System::Concurrency::blockingRun;
using System::FileTesting::TemporaryFolder;
using VuzadoDudi::ModelState;
using ZodozorEroTesting::LogCapture;
using Facade = ::ZodozorEro::ZodozorEro;
using StateChange = std::pair<std::optional<ModelState>, ModelState>;

void writeText(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

bool containsLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

template <class Call>
WhisperError whisperErrorOf(Call&& call) {
    try {
        call();
    } catch (const WhisperError& error) {
        return error;
    }
    ADD_FAILURE() << "no WhisperError";
    return WhisperError::initializationError("none");
}

void recordStates(Facade& facade, std::vector<StateChange>& into) {
    facade.modelStateCallback = [&into](std::optional<ModelState> previous, ModelState current) {
        into.emplace_back(previous, current);
    };
}

bool stageLoaded(const auto& stage) {
    return dynamic_cast<const WhisperMLModel&>(*stage).modelState() == ModelState::loaded;
}

TEST(ModelVariantDetection, TheVocabularyDecidesTheFamilyAndTheWidthTheSize) {
    struct Case {
        int logits;
        int width;
        ModelVariant expected;
    };
    const Case cases[] = {
        {51864, 384, ModelVariant::tinyEn},   {51864, 512, ModelVariant::baseEn},
        {51864, 768, ModelVariant::smallEn},  {51864, 1024, ModelVariant::mediumEn},
        {51864, 1280, ModelVariant::baseEn},  {51865, 384, ModelVariant::tiny},
        {51865, 512, ModelVariant::base},     {51865, 768, ModelVariant::small},
        {51865, 1024, ModelVariant::medium},  {51865, 1280, ModelVariant::largev2},
        {51865, 640, ModelVariant::base},     {51866, 384, ModelVariant::largev3},
        {51866, 1280, ModelVariant::largev3}, {50000, 512, ModelVariant::base},
    };
    for (const auto& [logits, width, expected] : cases) {
        LogCapture log;
        EXPECT_EQ(ModelUtilities::detectVariant(logits, width), expected) << logits << " x " << width;
        const bool unknownVocabulary = logits < 51864 || logits > 51866;
        EXPECT_EQ(containsLine(log.lines(), "Unrecognized vocabulary size: " + std::to_string(logits) +
                                                ", defaulting to base variant"),
                  unknownVocabulary);
    }
    EXPECT_EQ(ModelUtilities::tokenizerNameForVariant(ModelVariant::largev2), "openai/whisper-large-v2");
    EXPECT_EQ(ModelUtilities::tokenizerNameForVariant(ModelVariant::tinyEn), "openai/whisper-tiny.en");
}

TEST(ModelFileNames, OnlyFoldersOfKnownSizesAreKeptOnceEachInSizeOrder) {
    EXPECT_EQ(ModelUtilities::formatModelFiles({
                  "openai_whisper-large-v3_turbo/y",
                  "openai_whisper-tiny/AudioEncoder.mlmodelc/model.mil",
                  "openai_whisper-base.en/x",
                  "openai_whisper-small_216MB/z",
                  "openai_whisper-tiny/config.json",
                  "distil_whisper-tiny/a",
              }),
              (std::vector<std::string>{"distil_whisper-tiny", "openai_whisper-tiny", "openai_whisper-base.en",
                                        "openai_whisper-large-v3_turbo"}));
    EXPECT_TRUE(ModelUtilities::formatModelFiles({}).empty());
}

// A repository of model folders on the stand-in hub, written once for the suite, and a fresh cache per test.
class FacadeModelsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        repository_ = new TemporaryFolder("facade-repository");
        writeModels(repository_->path() / kModelName);
        tokenizerRepository_ = new TemporaryFolder("facade-tokenizer");
        copyTokenizer(tokenizerRepository_->path());
    }
    static void TearDownTestSuite() {
        delete repository_;
        delete tokenizerRepository_;
    }

    FacadeModelsTest() {
        online_.hub.serve(kModelRepo, repository_->path());
        online_.hub.serve(kTokenizerRepo, tokenizerRepository_->path());
    }

    ZodozorEroConfig downloadConfig() const {
        ZodozorEroConfig config;
        config.downloadBase = cache_.path();
        config.modelEndpoint = hub().endpoint();
        config.download = true;
        return config;
    }
    std::filesystem::path cachedModelFolder() const { return cache_ / "models" / kModelRepo / kModelName; }
    VuzadoDudi::HubTesting::StandInHub& hub() const { return online_.hub; }

    // A model folder of its own on disk, with the tokenizer inside, for tests that change it.
    std::filesystem::path localModelFolder() const {
        const auto folder = cache_ / "local" / kModelName;
        std::filesystem::create_directories(folder);
        std::filesystem::copy(repository_->path() / kModelName, folder,
                              std::filesystem::copy_options::recursive);
        copyTokenizer(folder);
        return folder;
    }

    static TemporaryFolder* repository_;
    static TemporaryFolder* tokenizerRepository_;
    mutable OnlineHub online_;
    TemporaryFolder cache_{"facade-cache"};
};

TemporaryFolder* FacadeModelsTest::repository_ = nullptr;
TemporaryFolder* FacadeModelsTest::tokenizerRepository_ = nullptr;

TEST_F(FacadeModelsTest, TheRecommendedModelIsDownloadedDetectedPrewarmedAndLoadedThenFoundInTheCache) {
    // No model named and no support table in the repository: the built-in table's choice is fetched.
    const auto facade = blockingRun(Facade::create(downloadConfig()));
    EXPECT_EQ(facade->modelFolder(), cachedModelFolder());
    EXPECT_EQ(facade->modelState(), ModelState::unloaded);
    EXPECT_TRUE(std::filesystem::exists(cachedModelFolder() / "TextDecoder.mlmodelc" / "weights.safetensors"));

    std::vector<StateChange> states;
    recordStates(*facade, states);
    blockingRun(facade->prewarmModels());
    EXPECT_FALSE(stageLoaded(facade->featureExtractor()));
    EXPECT_FALSE(stageLoaded(facade->audioEncoder()));
    EXPECT_FALSE(stageLoaded(facade->textDecoder()));
    EXPECT_EQ(facade->tokenizer(), nullptr);

    blockingRun(facade->loadModels());
    EXPECT_EQ(states, (std::vector<StateChange>{{ModelState::unloaded, ModelState::prewarming},
                                                {ModelState::prewarming, ModelState::prewarmed},
                                                {ModelState::prewarmed, ModelState::loading},
                                                {ModelState::loading, ModelState::loaded}}));
    EXPECT_TRUE(stageLoaded(facade->featureExtractor()));
    EXPECT_TRUE(stageLoaded(facade->audioEncoder()));
    EXPECT_TRUE(stageLoaded(facade->textDecoder()));
    EXPECT_EQ(facade->modelVariant(), ModelVariant::base);
    EXPECT_TRUE(facade->textDecoder()->isModelMultilingual());
    ASSERT_NE(facade->tokenizer(), nullptr);
    EXPECT_EQ(facade->textDecoder()->tokenizer(), facade->tokenizer());
    // The model folder holds no tokenizer, so it came from its own repository into the cache.
    EXPECT_TRUE(std::filesystem::exists(cache_ / "models" / kTokenizerRepo / "tokenizer.json"));
    EXPECT_GT(facade->currentTimings().prewarmLoadTime, 0);
    EXPECT_GE(facade->currentTimings().modelLoading, facade->currentTimings().prewarmLoadTime);

    // It transcribes a file and a batch of arrays.
    const auto samples = writeSpeechLikeFile(cache_ / "clip.wav", 1.5, 3);
    const auto fromFile = blockingRun(facade->transcribe((cache_ / "clip.wav").string(), std::nullopt, quickOptions()));
    ASSERT_EQ(fromFile.size(), 1u);
    EXPECT_FALSE(fromFile[0]->language().empty());
    EXPECT_NEAR(fromFile[0]->timings().inputAudioSeconds, 1.5, 0.01);
    const std::vector<std::vector<float>> arrays{samples, std::vector<float>(samples.begin(), samples.begin() + 8'000)};
    const auto fromArrays = blockingRun(facade->transcribe(arrays, quickOptions()));
    ASSERT_EQ(fromArrays.size(), 2u);
    ASSERT_TRUE(fromArrays[0] && fromArrays[1]);
    EXPECT_NEAR(fromArrays[0]->at(0)->timings().inputAudioSeconds, 1.5, 0.01);
    EXPECT_NEAR(fromArrays[1]->at(0)->timings().inputAudioSeconds, 0.5, 0.01);

    // A second facade over the same cache lists the repository but fetches no file again.
    const std::size_t downloads = hub().fileDownloads();
    ZodozorEroConfig again = downloadConfig();
    again.model = kModelName;
    again.load = true;
    const auto second = blockingRun(Facade::create(again));
    EXPECT_EQ(hub().fileDownloads(), downloads);
    EXPECT_EQ(second->modelState(), ModelState::loaded);
    EXPECT_EQ(second->modelFolder(), cachedModelFolder());
}

TEST_F(FacadeModelsTest, AModelFolderOnDiskIsLoadedWithoutTheHubAndUnloadedAndReloaded) {
    ZodozorEroConfig config;
    config.modelFolder = localModelFolder().string();
    config.download = true;
    config.modelEndpoint = "http://127.0.0.1:1"; // never asked
    const auto facade = blockingRun(Facade::create(config));
    EXPECT_EQ(facade->modelState(), ModelState::loaded);
    EXPECT_TRUE(hub().requests().empty());
    const auto tokenizer = facade->tokenizer();
    ASSERT_NE(tokenizer, nullptr);

    std::vector<StateChange> states;
    recordStates(*facade, states);
    blockingRun(facade->unloadModels());
    blockingRun(facade->unloadModels());
    EXPECT_EQ(states, (std::vector<StateChange>{{ModelState::loaded, ModelState::unloading},
                                                {ModelState::unloading, ModelState::unloaded},
                                                {ModelState::unloaded, ModelState::unloading},
                                                {ModelState::unloading, ModelState::unloaded}}));
    EXPECT_FALSE(stageLoaded(facade->featureExtractor()));
    EXPECT_FALSE(stageLoaded(facade->audioEncoder()));
    EXPECT_FALSE(stageLoaded(facade->textDecoder()));
    EXPECT_EQ(facade->tokenizer(), tokenizer);

    LogCapture log;
    blockingRun(facade->loadModels());
    EXPECT_EQ(facade->modelState(), ModelState::loaded);
    EXPECT_TRUE(stageLoaded(facade->textDecoder()));
    EXPECT_EQ(facade->tokenizer(), tokenizer);
    EXPECT_TRUE(containsLine(log.lines(), "Tokenizer already exists on ZodozorEro, skipping load"));
}

TEST_F(FacadeModelsTest, LoadingRefusesMissingStagesAndPassesOnBrokenOnes) {
    // No folder at all.
    {
        ZodozorEroConfig config;
        const auto facade = blockingRun(Facade::create(config));
        const auto error = whisperErrorOf([&] { blockingRun(facade->loadModels()); });
        EXPECT_EQ(error.kind(), WhisperError::Kind::modelsUnavailable);
        EXPECT_EQ(error.message(), "Model folder is not set.");
        EXPECT_EQ(facade->modelState(), ModelState::loading);
    }
    // A folder without one of its stages: named, and nothing loaded before the check.
    for (const std::string stage : {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
        const auto folder = localModelFolder();
        std::filesystem::remove_all(folder / (stage + ".mlmodelc"));
        ZodozorEroConfig config;
        config.modelFolder = folder.string();
        config.load = false;
        const auto facade = blockingRun(Facade::create(config));
        const auto error = whisperErrorOf([&] { blockingRun(facade->loadModels()); });
        EXPECT_EQ(error.message(), "Model file not found at " + (folder / (stage + ".mlmodelc")).string());
        EXPECT_FALSE(stageLoaded(facade->featureExtractor())) << stage;
        std::filesystem::remove_all(folder);
    }
    // A stage whose description is damaged: the runtime's error, the stages before it stay loaded.
    {
        const auto folder = localModelFolder();
        writeText(folder / "AudioEncoder.mlmodelc" / "model.json", "{\"format\": ");
        ZodozorEroConfig config;
        config.modelFolder = folder.string();
        config.load = false;
        const auto facade = blockingRun(Facade::create(config));
        EXPECT_ANY_THROW(blockingRun(facade->loadModels()));
        EXPECT_EQ(facade->modelState(), ModelState::loading);
        EXPECT_TRUE(stageLoaded(facade->featureExtractor()));
        EXPECT_TRUE(stageLoaded(facade->textDecoder()));
        EXPECT_FALSE(stageLoaded(facade->audioEncoder()));
        EXPECT_EQ(facade->tokenizer(), nullptr);
    }
}

TEST_F(FacadeModelsTest, DownloadFindsTheOneFolderOfAVariant) {
    TemporaryFolder tree("facade-variants");
    for (const char* file : {"distil_tiny/model.bin", "sub/openai_small/a", "sub/openai_small/b", "tuned_small/a",
                             "openai_x_medium/a", "openai_y_medium/a", "other/readme"}) {
        writeText(tree / file, file);
    }
    hub().serve("test/variants", tree.path());
    struct Case {
        std::string variant;
        std::optional<std::string> folder; // the folder fetched, or none for an error
        std::string message;
    };
    const Case cases[] = {
        {"tiny", "distil_tiny", ""},
        // Two folders end in "small"; only one also holds "openai".
        {"small", "sub", ""},
        {"medium", std::nullopt, "Multiple models found matching \"*openai*medium/*\" in test/variants (models)"},
        {"large", std::nullopt, "No models found matching \"*openai*large/*\" in test/variants (models)"},
    };
    for (const auto& [variant, folder, message] : cases) {
        const std::size_t before = hub().fileDownloads();
        if (folder) {
            const auto local = blockingRun(
                Facade::download(variant, cache_.path(), false, "test/variants", std::nullopt, hub().endpoint()));
            EXPECT_EQ(local, cache_ / "models" / "test/variants" / *folder) << variant;
            EXPECT_GT(hub().fileDownloads(), before);
        } else {
            const auto error = whisperErrorOf([&] {
                blockingRun(Facade::download(variant, cache_.path(), false, "test/variants", std::nullopt,
                                             hub().endpoint()));
            });
            EXPECT_EQ(error.kind(), WhisperError::Kind::modelsUnavailable);
            EXPECT_EQ(error.message(), message);
            EXPECT_EQ(hub().fileDownloads(), before);
        }
    }
    // Only the chosen folder's files were fetched.
    EXPECT_TRUE(std::filesystem::exists(cache_ / "models" / "test/variants" / "sub/openai_small/b"));
    EXPECT_FALSE(std::filesystem::exists(cache_ / "models" / "test/variants" / "tuned_small"));
}

TEST_F(FacadeModelsTest, SetupReportsAnUnknownModelAsUnavailable) {
    ZodozorEroConfig config = downloadConfig();
    config.model = "enormous";
    const auto error = whisperErrorOf([&] { blockingRun(Facade::create(config)); });
    EXPECT_EQ(error.kind(), WhisperError::Kind::modelsUnavailable);
    EXPECT_EQ(error.message().rfind("Model not found. Please check the model or repo name and try again.\nError: "
                                    "No models found matching",
                                    0),
              0u)
        << error.message();
}

TEST_F(FacadeModelsTest, TheRepositoryTableIsUsedWhenReadableAndTheBuiltInOneOtherwise) {
    const std::string device = Facade::deviceName();
    const std::string remoteTable = R"({"name": "test/table", "version": "1", "device_support": [
        {"identifiers": [")" + device + R"("], "models": {"default": "openai_whisper-small",
         "supported": ["openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-small", "other-thing"]}}]})";
    struct Case {
        std::string name;
        std::optional<std::string> contents; // of config.json; none leaves it out
        bool refuseListing;
        std::optional<std::string> expectedDefault; // none: the built-in answer
        std::string logLine;
    };
    const Case cases[] = {
        {"readable", remoteTable, false, "openai_whisper-small", ""},
        {"absent", std::nullopt, false, std::nullopt, "No config files found matching \"config.json\""},
        {"not JSON", "{\"name\": ", false, std::nullopt, "Fetch model support config failed with error: "},
        {"wrong shape", R"({"name": "x"})", false, std::nullopt, "Fetch model support config failed with error: "},
        {"hub refuses", remoteTable, true, std::nullopt, "Fetch model support config failed with error: "},
    };
    for (const auto& [name, contents, refuseListing, expectedDefault, logLine] : cases) {
        TemporaryFolder tree("facade-table");
        writeText(tree / "readme", "a repository");
        if (contents) {
            writeText(tree / "config.json", *contents);
        }
        const std::string repo = "test/table-" + std::to_string(&name - &cases[0].name);
        hub().serve(repo, tree.path());
        hub().refuseListing(refuseListing ? std::optional<int>(500) : std::nullopt);
        LogCapture log;
        const ModelSupport support = blockingRun(
            Facade::recommendedRemoteModels(repo, cache_.path(), std::nullopt, "config.json", hub().endpoint()));
        EXPECT_EQ(support.defaultModel, expectedDefault.value_or(Facade::recommendedModels().defaultModel)) << name;
        if (!expectedDefault) {
            EXPECT_EQ(support, Facade::recommendedModels()) << name;
        }
        if (!logLine.empty()) {
            EXPECT_TRUE(containsLine(log.lines(), logLine)) << name;
        }
        if (name == "readable") {
            // Overlapping patterns give each name once; names of no known size are dropped.
            const auto models = blockingRun(Facade::fetchAvailableModels(
                repo, {"*tiny*", "*whisper-t*", "*thing"}, cache_.path(), std::nullopt, "config.json",
                hub().endpoint()));
            EXPECT_EQ(models, (std::vector<std::string>{"openai_whisper-tiny", "openai_whisper-tiny.en"}));
            EXPECT_TRUE(blockingRun(Facade::fetchAvailableModels(repo, {}, cache_.path(), std::nullopt,
                                                                 "config.json", hub().endpoint()))
                            .empty());
        }
    }
    hub().refuseListing(std::nullopt);
}

} // namespace
