#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/ModelComputeOptions.h"
#include "ZodozorEro/Core/ModelSupportConfig.h"
#include "ZodozorEro/Core/ModelVariant.h"

#include <set>

#include <gtest/gtest.h>

#include "Data/JsonTesting.h"
#include "Data/LogCapture.h"

namespace {

using ZodozorEro::DecodingError;
using ZodozorEro::DeviceSupport;
using ZodozorEro::ModelSupport;
using ZodozorEro::ModelSupportConfig;
namespace Constants = ZodozorEro::Constants;

std::set<std::string> asSet(const std::vector<std::string>& list) {
    return {list.begin(), list.end()};
}

TEST(ModelVariantTest, NamesAndLanguages) {
    std::vector<std::string> names;
    std::vector<bool> multilingual;
    for (auto variant : ZodozorEro::allModelVariants) {
        names.emplace_back(ZodozorEro::description(variant));
        multilingual.push_back(ZodozorEro::isMultilingual(variant));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"tiny", "tiny.en", "base", "base.en", "small", "small.en",
                                               "medium", "medium.en", "large", "large-v2", "large-v3"}));
    EXPECT_EQ(multilingual,
              (std::vector<bool>{true, false, true, false, true, false, true, false, true, true, true}));
}

TEST(ModelComputeOptionsTest, AnEncoderWithoutAChoiceTakesTheCurrentSystemsUnits) {
    using System::ML::ComputeUnits;
    const ZodozorEro::ModelComputeOptions chosen(ComputeUnits::cpuOnly, std::nullopt, ComputeUnits::all);
    EXPECT_EQ(chosen.melCompute, ComputeUnits::cpuOnly);
    EXPECT_EQ(chosen.audioEncoderCompute, ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(chosen.textDecoderCompute, ComputeUnits::all);
    EXPECT_EQ(
        ZodozorEro::ModelComputeOptions(ComputeUnits::cpuOnly, ComputeUnits::cpuAndGPU, ComputeUnits::all)
            .audioEncoderCompute,
        ComputeUnits::cpuAndGPU);
    const ZodozorEro::ModelComputeOptions pipelineDefault;
    EXPECT_EQ(pipelineDefault, ZodozorEro::ModelComputeOptions(ComputeUnits::cpuAndGPU, std::nullopt,
                                                               ComputeUnits::cpuAndNeuralEngine));
}

TEST(FallbackTableTest, KnownModelsFollowTheRowsWithoutRepeats) {
    const std::vector<std::string> expected = {
        "openai_whisper-base",
        "openai_whisper-base.en",
        "openai_whisper-tiny",
        "openai_whisper-tiny.en",
        "openai_whisper-small",
        "openai_whisper-small.en",
        "openai_whisper-large-v2_949MB",
        "openai_whisper-large-v2_turbo_955MB",
        "openai_whisper-large-v3_947MB",
        "openai_whisper-large-v3_turbo_954MB",
        "distil-whisper_distil-large-v3_594MB",
        "distil-whisper_distil-large-v3_turbo_600MB",
        "openai_whisper-large-v3-v20240930_626MB",
        "openai_whisper-large-v3-v20240930_turbo_632MB",
        "openai_whisper-large-v2",
        "openai_whisper-large-v3",
        "distil-whisper_distil-large-v3",
        "openai_whisper-large-v2_turbo",
        "openai_whisper-large-v3_turbo",
        "distil-whisper_distil-large-v3_turbo",
        "openai_whisper-large-v3-v20240930",
        "openai_whisper-large-v3-v20240930_turbo",
    };
    EXPECT_EQ(Constants::knownModels(), expected);
    const ModelSupportConfig& table = Constants::fallbackModelSupportConfig();
    EXPECT_EQ(table.repoName(), "zodozorero-coreml-fallback");
    EXPECT_EQ(table.repoVersion(), "0.3");
    ASSERT_EQ(table.deviceSupports().size(), 6u);

    // Row 1 runs only list A; row 4 runs everything.
    const ModelSupport& row1 = table.deviceSupports()[0].models;
    EXPECT_EQ(row1.disabled.size(), 18u);
    std::set<std::string> outsideA = asSet(expected);
    for (const auto& model : row1.supported) {
        outsideA.erase(model);
    }
    EXPECT_EQ(asSet(row1.disabled), outsideA);
    EXPECT_TRUE(table.deviceSupports()[3].models.disabled.empty());
    EXPECT_TRUE(table.defaultSupport().models.disabled.empty());
    EXPECT_EQ(table.defaultSupport().models.supported, expected);
}

TEST(FallbackTableTest, DevicesResolveToTheirLongestIdentifier) {
    const ModelSupportConfig& table = Constants::fallbackModelSupportConfig();
    struct Case {
        std::string device;
        std::size_t row; // 1-based
    };
    const std::vector<Case> cases = {
        {"iPad13,18", 5},  {"iPad13,10", 3},  {"iPad13,1", 5}, {"Mac14,2", 4},  {"MacBookPro18,3", 3},
        {"iPhone15,2", 2}, {"iPhone14,7", 6}, {"Watch7,1", 1}, {"iPad16,5", 4}, {"Mac13,1", 3},
    };
    ZodozorEroTesting::LogCapture log;
    for (const Case& c : cases) {
        EXPECT_EQ(table.modelSupport(c.device), table.deviceSupports()[c.row - 1].models) << c.device;
    }
    EXPECT_EQ(
        log.lines()[0],
        R"(Matched iPad13,18 to devices: ["iPhone13", "iPad13,1", "iPad13,2", "iPad13,18", "iPad13,19"])");
}

TEST(FallbackTableTest, AnUnknownDeviceGetsTheDefaultRowAndSaysSo) {
    ZodozorEroTesting::LogCapture log(VuzadoDudi::Logging::LogLevel::info);
    const ModelSupport support = Constants::fallbackModelSupportConfig().modelSupport("MacBookAir9,1");
    EXPECT_EQ(support.defaultModel, "openai_whisper-base");
    EXPECT_EQ(support.supported, Constants::knownModels());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"No device support found for MacBookAir9,1, using default"}));
}

DeviceSupport remoteRow(std::vector<std::string> identifiers, std::string defaultModel,
                        std::vector<std::string> supported) {
    return DeviceSupport{
        .chips = std::nullopt,
        .identifiers = std::move(identifiers),
        .models = {.defaultModel = std::move(defaultModel), .supported = std::move(supported)}};
}

TEST(ModelSupportConfigTest, ARemoteTableOfTheSameRepositoryIsMergedWithTheBuiltInRows) {
    const ModelSupportConfig merged("zodozorero-coreml", "1.0",
                                    {remoteRow({"iPhone15", "iPhone16", "iPhone17", "iPhone14"},
                                               "openai_whisper-small", {"new-model", "openai_whisper-tiny"}),
                                     remoteRow({"Pixel9"}, "openai_whisper-tiny", {"openai_whisper-tiny"})});
    const auto& rows = merged.deviceSupports();
    // Rows 2 and 6 of the built-in table share identifiers with the remote rows; the other four follow.
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0].models.defaultModel, "openai_whisper-small");
    EXPECT_EQ(rows[0].identifiers,
              (std::vector<std::string>{"iPhone15", "iPhone16", "iPhone17", "iPhone14"}));
    std::vector<std::string> widened = {"new-model"};
    for (const auto& model : Constants::fallbackModelSupportConfig().deviceSupports()[1].models.supported) {
        widened.push_back(model);
    }
    EXPECT_EQ(rows[0].models.supported, widened);
    EXPECT_EQ(rows[1].identifiers, std::vector<std::string>{"Pixel9"});
    EXPECT_EQ(rows[1].models.supported, std::vector<std::string>{"openai_whisper-tiny"});
    std::vector<std::string> rest;
    for (std::size_t i = 2; i < rows.size(); ++i) {
        rest.push_back(*rows[i].chips);
    }
    EXPECT_EQ(rest, (std::vector<std::string>{"A12, A13, S9, S10", "M1", "M2, M3, M4", "A14"}));
    EXPECT_EQ(merged.knownModels().front(), "new-model");
    EXPECT_EQ(merged.modelSupport("Pixel9a").disabled.size(), merged.knownModels().size() - 1);
}

TEST(ModelSupportConfigTest, OnlyANameInsideTheBuiltInNameMerges) {
    const std::vector<DeviceSupport> rows = {remoteRow({"Pixel9"}, "m", {"m"})};
    struct Case {
        std::string name;
        bool merges;
    };
    for (const Case& c : std::vector<Case>{{"zodozorero-coreml", true},
                                           {"zodozorero-coreml-fallback", true},
                                           {"coreml", true},
                                           {"zodozorero-coreml-fallback-2", false},
                                           {"other-repo", false}}) {
        EXPECT_EQ(ModelSupportConfig(c.name, "1", rows).deviceSupports().size(), c.merges ? 7u : 1u)
            << c.name;
    }
    EXPECT_EQ(ModelSupportConfig("zodozorero-coreml", "1", rows, false).deviceSupports().size(), 1u);
}

TEST(ModelSupportConfigTest, TheCodedFormLosesOnlyTheDerivedLists) {
    const ModelSupportConfig& table = Constants::fallbackModelSupportConfig();
    const auto json = table.encode();
    EXPECT_FALSE(json["device_support"][0]["models"].contains("disabled"));
    const ModelSupportConfig back = ZodozorEroTesting::roundTrip(table);
    EXPECT_EQ(back.repoName(), table.repoName());
    EXPECT_EQ(back.deviceSupports(), table.deviceSupports());
    EXPECT_EQ(back.knownModels(), table.knownModels());
    EXPECT_EQ(back.defaultSupport(), table.defaultSupport());

    const ModelSupportConfig unchipped("other", "2", {remoteRow({"X1"}, "a", {"a", "b"})});
    EXPECT_FALSE(unchipped.encode()["device_support"][0].contains("chips"));
    EXPECT_EQ(ZodozorEroTesting::roundTrip(unchipped).deviceSupports(), unchipped.deviceSupports());
}

TEST(ModelSupportConfigTest, DamagedTablesAreRefused) {
    struct Case {
        std::string document;
        DecodingError::Kind kind;
        std::string path;
    };
    const std::vector<Case> cases = {
        {R"({"version":"1","device_support":[]})", DecodingError::Kind::keyNotFound, "name"},
        {R"({"name":"x","device_support":[]})", DecodingError::Kind::keyNotFound, "version"},
        {R"({"name":"x","version":"1"})", DecodingError::Kind::keyNotFound, "device_support"},
        {R"({"name":"x","version":1,"device_support":[]})", DecodingError::Kind::typeMismatch, "version"},
        {R"({"name":"x","version":"1","device_support":{}})", DecodingError::Kind::typeMismatch,
         "device_support"},
        {R"({"name":"x","version":"1","device_support":[{"models":{"default":"a","supported":[]}}]})",
         DecodingError::Kind::keyNotFound, "device_support[0].identifiers"},
        {R"({"name":"x","version":"1","device_support":[{"identifiers":["a"],"models":{"supported":[]}}]})",
         DecodingError::Kind::keyNotFound, "device_support[0].models.default"},
        {R"({"name":"x","version":"1","device_support":[{"identifiers":["a"],"models":{"default":"a","supported":[1]}}]})",
         DecodingError::Kind::typeMismatch, "device_support[0].models.supported[0]"},
        {R"(["name"])", DecodingError::Kind::typeMismatch, ""},
    };
    for (const Case& c : cases) {
        const DecodingError error = ZodozorEroTesting::decodingError<ModelSupportConfig>(c.document);
        EXPECT_EQ(error.kind(), c.kind) << c.document;
        EXPECT_EQ(error.codingPath(), c.path) << c.document;
    }
    const auto decoded = ModelSupportConfig::decode(System::Json::parse(
        R"({"name":"x","version":"1","extra":true,"device_support":[{"identifiers":["a"],"models":{"default":"a","supported":["a"],"disabled":["b"]}}]})"));
    EXPECT_TRUE(decoded.deviceSupports()[0].models.disabled.empty());
}

TEST(ConstantsTest, TheLanguageTableAndPunctuation) {
    EXPECT_EQ(Constants::languages().size(), 112u);
    EXPECT_EQ(Constants::languageCodes().size(), 100u);
    EXPECT_EQ(Constants::languages().at("haitian creole"), "ht");
    EXPECT_EQ(Constants::languages().at("cantonese"), "yue");
    EXPECT_EQ(Constants::languages().at("mandarin"), "zh");
    EXPECT_TRUE(Constants::languageCodes().contains("haw"));
    EXPECT_EQ(Constants::defaultPrependPunctuations.size(), 13u);
    EXPECT_EQ(Constants::defaultAppendPunctuations.size(), 31u);
    EXPECT_EQ(Constants::defaultAppendPunctuations.substr(0, 4), "\"'.\xe3");
    EXPECT_TRUE(Constants::defaultRemoteEndpoint().starts_with("https://"));
}

} // namespace
