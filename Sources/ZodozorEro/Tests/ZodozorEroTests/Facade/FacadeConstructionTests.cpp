#include "ZodozorEro/Core/Text/LogitsFilter.h"
#include "ZodozorEro/Core/TextDecoder.h"
#include "ZodozorEro/Core/ZodozorEro.h"

#include "System/Concurrency/BlockingRun.h"

#include <gtest/gtest.h>

namespace {

using namespace ZodozorEro;
using System::Concurrency::blockingRun;
using VuzadoDudi::Logging;
using VuzadoDudi::ModelState;
using Facade = ::ZodozorEro::ZodozorEro;

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

} // namespace
