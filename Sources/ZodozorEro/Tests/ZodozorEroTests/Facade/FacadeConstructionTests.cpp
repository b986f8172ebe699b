#include "VuzadoDudi/External/Hub/HubApi.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Core/AudioEncoder.h"
#include "ZodozorEro/Core/FeatureExtractor.h"
#include "ZodozorEro/Core/Text/LogitsFilter.h"
#include "ZodozorEro/Core/Text/SegmentSeeker.h"
#include "ZodozorEro/Core/TextDecoder.h"
#include "ZodozorEro/Core/ZodozorEro.h"

#include "System/Concurrency/BlockingRun.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

using namespace ZodozorEro;
using System::Concurrency::blockingRun;
using VuzadoDudi::Logging;
using VuzadoDudi::ModelState;
using Facade = ::ZodozorEro::ZodozorEro;
using System::ML::ComputeUnits;

// Puts the library log back as every test finds it.
struct QuietLog {
    ~QuietLog() { Logging::updateLogLevel(Logging::LogLevel::none); }
};

TEST(FacadeConstruction, TheConfigurationFillsTheStateAndNothingIsLoadedWithoutAFolder) {
    QuietLog quiet;
    auto decoder = std::make_shared<TextDecoder>();
    auto filter = std::make_shared<SuppressTokensFilter>(std::vector<int>{7});
    ZodozorEroConfig config;
    config.downloadBase = "/tmp/downloads";
    config.textDecoder = decoder;
    config.logitsFilters = std::vector<std::shared_ptr<LogitsFiltering>>{filter};
    config.logLevel = Logging::LogLevel::debug;
    config.verbose = false;
    config.useBackgroundDownloadSession = true;
    const auto facade = blockingRun(Facade::create(config));

    EXPECT_EQ(facade->modelState(), ModelState::unloaded);
    EXPECT_EQ(facade->modelFolder(), std::nullopt);
    EXPECT_EQ(facade->modelVariant(), ModelVariant::tiny);
    EXPECT_EQ(facade->tokenizer(), nullptr);
    EXPECT_EQ(facade->voiceActivityDetector(), nullptr);
    EXPECT_EQ(facade->tokenizerFolder(), std::filesystem::path("/tmp/downloads"));
    EXPECT_TRUE(facade->useBackgroundDownloadSession());
    EXPECT_EQ(facade->modelCompute(), ModelComputeOptions());
    EXPECT_EQ(facade->audioInputOptions(), AudioInputOptions());
    EXPECT_EQ(facade->textDecoder(), decoder);
    ASSERT_TRUE(decoder->logitsFilters().has_value());
    ASSERT_EQ(decoder->logitsFilters()->size(), 1u);
    EXPECT_EQ(decoder->logitsFilters()->at(0), filter);
    EXPECT_EQ(Logging::shared().logLevel(), Logging::LogLevel::none);

    // A tokenizer folder of its own wins over the download base; verbose lets the asked level through.
    config.tokenizerFolder = "/tmp/tokenizers";
    config.logitsFilters = std::vector<std::shared_ptr<LogitsFiltering>>();
    config.verbose = true;
    const auto second = blockingRun(Facade::create(config));
    EXPECT_EQ(second->tokenizerFolder(), std::filesystem::path("/tmp/tokenizers"));
    EXPECT_TRUE(decoder->logitsFilters()->empty());
    EXPECT_EQ(Logging::shared().logLevel(), Logging::LogLevel::debug);
}

TEST(FacadeConstruction, TheTwoNamesOfTheAudioOptionsAndTheDecodersTokenizerFollowTheFacade) {
    const auto facade = blockingRun(Facade::create(ZodozorEroConfig()));
    AudioInputOptions streamed;
    streamed.audioLoadingMode = AudioLoadingMode::incremental();
    facade->setAudioInputOptions(streamed);
    EXPECT_EQ(facade->audioInputConfig(), streamed);
    facade->setAudioInputConfig(AudioInputOptions());
    EXPECT_EQ(facade->audioInputOptions(), AudioInputOptions());

    // A replaced decoder is handed the tokenizer assigned afterwards, and none when it is taken away.
    facade->setTextDecoder(std::make_shared<TextDecoder>());
    struct NoTokenizer : WhisperTokenizer {
        std::vector<int> encode(const std::string&) const override { return {}; }
        std::string decode(const std::vector<int>&) const override { return {}; }
        std::optional<int> convertTokenToId(const std::string&) const override { return std::nullopt; }
        std::optional<std::string> convertIdToToken(int) const override { return std::nullopt; }
        const SpecialTokens& specialTokens() const override { return tokens; }
        const std::unordered_set<int>& allLanguageTokens() const override { return languages; }
        WordTokens splitToWordTokens(const std::vector<int>&) const override { return {}; }
        SpecialTokens tokens;
        std::unordered_set<int> languages;
    };
    const auto tokenizer = std::make_shared<NoTokenizer>();
    facade->setTokenizer(tokenizer);
    EXPECT_EQ(facade->textDecoder()->tokenizer(), tokenizer);
    facade->setTokenizer(nullptr);
    EXPECT_EQ(facade->textDecoder()->tokenizer(), nullptr);
}

// Every facade comes from the factory, shared, so that its batches can hold it weakly: one made any other
// way would fail every batch.
static_assert(!std::is_constructible_v<Facade, const ZodozorEroConfig&>);
static_assert(!std::is_constructible_v<Facade, ZodozorEroConfig>);

// Notes what the factory's start-up asks of the model operations instead of doing it.
class StartUpRecordingFacade : public Facade {
public:
    using Facade::Facade;

    struct Setup {
        std::optional<std::string> model;
        std::optional<std::filesystem::path> downloadBase;
        std::optional<std::string> modelRepo;
        std::optional<std::string> modelToken;
        std::optional<std::string> modelFolder;
        bool download = false;
        std::string remoteConfigName;
        std::string endpoint;
    };

    System::Concurrency::Task<void> setupModels(std::optional<std::string> model,
                                                std::optional<std::filesystem::path> downloadBase,
                                                std::optional<std::string> modelRepo,
                                                std::optional<std::string> modelToken,
                                                std::optional<std::string> modelFolder, bool download,
                                                std::string remoteConfigName, std::string endpoint) override {
        setup = Setup{model,       downloadBase, modelRepo,        modelToken,
                      modelFolder, download,     remoteConfigName, endpoint};
        co_return;
    }
    System::Concurrency::Task<void> loadModels(bool prewarmMode) override {
        steps.push_back(prewarmMode ? "prewarm" : "load");
        co_return;
    }

    Setup setup;
    std::vector<std::string> steps;
};

TEST(FacadeConstruction, TheConvenienceFactoryHandsEachArgumentToItsPlaceInTheConfiguration) {
    QuietLog quiet;
    const auto processor = std::make_shared<AudioProcessor>();
    const auto extractor = std::make_shared<FeatureExtractor>();
    const auto encoder = std::make_shared<AudioEncoder>();
    const auto decoder = std::make_shared<TextDecoder>();
    const auto seeker = std::make_shared<SegmentSeeker>();
    const auto filter = std::make_shared<SuppressTokensFilter>(std::vector<int>{7});
    const ModelComputeOptions compute(ComputeUnits::cpuOnly, ComputeUnits::all, ComputeUnits::cpuAndGPU);
    const auto facade = blockingRun(Facade::create<StartUpRecordingFacade>(
        "base", std::filesystem::path("/tmp/downloads"), "someone/models", "/tmp/models/base",
        std::filesystem::path("/tmp/tokenizers"), compute, processor, extractor, encoder, decoder,
        std::vector<std::shared_ptr<LogitsFiltering>>{filter}, seeker, true, Logging::LogLevel::info, true,
        std::nullopt, true, true));

    const auto& setup = facade->setup;
    EXPECT_EQ(setup.model, "base");
    EXPECT_EQ(setup.downloadBase, std::filesystem::path("/tmp/downloads"));
    EXPECT_EQ(setup.modelRepo, "someone/models");
    EXPECT_EQ(setup.modelToken, std::nullopt);
    EXPECT_EQ(setup.modelFolder, "/tmp/models/base");
    EXPECT_TRUE(setup.download);
    EXPECT_EQ(setup.remoteConfigName, "config.json");
    EXPECT_EQ(setup.endpoint, VuzadoDudi::HubApi::hubEndpointFromEnv());
    // Prewarm asked for; load left open with a folder given, so it loads.
    EXPECT_EQ(facade->steps, (std::vector<std::string>{"prewarm", "load"}));
    EXPECT_EQ(facade->tokenizerFolder(), std::filesystem::path("/tmp/tokenizers"));
    EXPECT_EQ(facade->modelCompute(), compute);
    EXPECT_EQ(facade->audioProcessor(), processor);
    EXPECT_EQ(facade->featureExtractor(), extractor);
    EXPECT_EQ(facade->audioEncoder(), encoder);
    EXPECT_EQ(facade->textDecoder(), decoder);
    EXPECT_EQ(facade->segmentSeeker(), seeker);
    ASSERT_TRUE(decoder->logitsFilters().has_value());
    EXPECT_EQ(decoder->logitsFilters(), (std::vector<std::shared_ptr<LogitsFiltering>>{filter}));
    EXPECT_TRUE(facade->useBackgroundDownloadSession());
    EXPECT_EQ(Logging::shared().logLevel(), Logging::LogLevel::info);
    // What the convenience form has no parameter for stays absent.
    EXPECT_EQ(facade->audioInputOptions(), AudioInputOptions());
    EXPECT_EQ(facade->voiceActivityDetector(), nullptr);

    // Nothing given: built-in stages, no folder, nothing loaded; not verbose, so nothing is logged.
    const auto plain = blockingRun(Facade::create<StartUpRecordingFacade>(
        std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, nullptr, nullptr,
        nullptr, nullptr, std::nullopt, nullptr, false, Logging::LogLevel::debug, std::nullopt, std::nullopt,
        false, false));
    EXPECT_FALSE(plain->setup.download);
    EXPECT_EQ(plain->setup.modelFolder, std::nullopt);
    EXPECT_TRUE(plain->steps.empty());
    EXPECT_EQ(plain->tokenizerFolder(), std::nullopt);
    EXPECT_NE(plain->textDecoder(), nullptr);
    EXPECT_EQ(plain->modelCompute(), ModelComputeOptions());
    EXPECT_EQ(Logging::shared().logLevel(), Logging::LogLevel::none);
}

} // namespace
