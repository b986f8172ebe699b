#include "HubTestSupport.h"

#include "System/Net/NetErrors.h"
#include "VuzadoDudi/External/Hub/HubApiWrapper.h"
#include "VuzadoDudi/External/Hub/LanguageModelConfigurationFromHub.h"

#include <nlohmann/json.hpp>

namespace VuzadoDudi::HubTests {
namespace {

namespace fs = std::filesystem;
using Configurations = LanguageModelConfigurationFromHub::Configurations;

class ConfigurationLoadingTest : public HubFixture {
protected:
    HubApiWrapper wrapper() const { return HubApiWrapper(cache.path(), std::string("t"), hub.endpoint()); }

    void writeLocal(const std::string& name, const std::string& contents) {
        fs::create_directories(local.path());
        writeFile(local / name, contents);
    }

    Configurations loadLocal() const {
        return blockingRun(LanguageModelConfigurationFromHub(local.path(), wrapper()).configurations());
    }

    TemporaryFolder local{"hub-local-model"};
};

TEST_F(ConfigurationLoadingTest, AFolderWithOnlyTokenizerDataHasNothingElse) {
    writeLocal("tokenizer.json", R"({"model": {"type": "BPE"}})");
    const LanguageModelConfigurationFromHub loader(local.path(), wrapper());
    const auto loaded = blockingRun(loader.configurations());
    EXPECT_FALSE(loaded.modelConfig);
    EXPECT_FALSE(loaded.tokenizerConfig);
    EXPECT_EQ(loaded.tokenizerData["model"]["type"].string(), "BPE");
    EXPECT_FALSE(blockingRun(loader.tokenizerConfig()));
    EXPECT_FALSE(blockingRun(loader.modelType()));
}

TEST_F(ConfigurationLoadingTest, AChatTemplateIsMergedAndTheClassComesFromTheModelType) {
    writeLocal("tokenizer.json", "{}");
    writeLocal("chat_template.jinja", "{{ messages }}");
    writeLocal("chat_template.json", R"({"chat_template": "never read"})");
    writeLocal("config.json", R"({"model_type": "whisper"})");
    const LanguageModelConfigurationFromHub loader(local.path(), wrapper());

    const auto config = blockingRun(loader.tokenizerConfig());

    ASSERT_TRUE(config);
    EXPECT_EQ((*config)["chat_template"].string(), "{{ messages }}");
    EXPECT_EQ((*config)["tokenizer_class"].string(), "WhisperTokenizer");
    EXPECT_EQ(blockingRun(loader.modelType()), "whisper");
}

TEST_F(ConfigurationLoadingTest, TheTokenizerClassIsKeptOrCompleted) {
    const struct {
        std::string tokenizerConfig;
        std::optional<std::string> modelConfig;
        std::optional<std::string> tokenizerClass;
    } cases[] = {
        {R"({"tokenizer_class": "GPT2Tokenizer"})", R"({"model_type": "whisper"})", "GPT2Tokenizer"},
        {R"({"tokenizer_class": null})", R"({"model_type": "whisper"})", "WhisperTokenizer"},
        {R"({"tokenizer_class": null})", R"({"other": 1})", std::nullopt},
        {R"({"tokenizer_class": null})", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        fs::remove_all(local.path());
        writeLocal("tokenizer.json", "{}");
        writeLocal("tokenizer_config.json", c.tokenizerConfig);
        if (c.modelConfig) {
            writeLocal("config.json", *c.modelConfig);
        }
        const auto config =
            blockingRun(LanguageModelConfigurationFromHub(local.path(), wrapper()).tokenizerConfig());
        ASSERT_TRUE(config) << c.tokenizerConfig;
        EXPECT_EQ((*config)["tokenizer_class"].string(), c.tokenizerClass) << c.tokenizerConfig;
    }
}

TEST_F(ConfigurationLoadingTest, AChatTemplateThatIsNoTextMergesNothing) {
    writeLocal("tokenizer.json", "{}");
    writeLocal("tokenizer_config.json", R"({"eos_token": "x"})");
    writeLocal("chat_template.json", R"({"chat_template": ["a", "b"]})");
    const auto loaded = loadLocal();
    ASSERT_TRUE(loaded.tokenizerConfig);
    EXPECT_TRUE((*loaded.tokenizerConfig)["chat_template"].isNull());
    EXPECT_EQ((*loaded.tokenizerConfig)["eos_token"].string(), "x");
}

TEST_F(ConfigurationLoadingTest, MissingAndMalformedFilesGiveClearErrors) {
    using Kind = HubClientError::Kind;
    const struct {
        std::string name;
        std::map<std::string, std::string> files;
        Kind kind;
        std::string descriptionPart;
    } cases[] = {
        {"no tokenizer.json",
         {{"config.json", "{}"}, {"tokenizer_config.json", "{}"}},
         Kind::configurationMissing,
         "Required configuration file missing: tokenizer.json"},
        {"malformed tokenizer.json",
         {{"tokenizer.json", R"({"model": )"}},
         Kind::jsonSerialization,
         "tokenizer.json"},
        {"malformed config.json is read first",
         {{"config.json", "{"}},
         Kind::jsonSerialization,
         "config.json"},
        {"tokenizer.json that is a list",
         {{"tokenizer.json", "[1, 2]"}},
         Kind::parse,
         "Failed to parse server response."},
        {"missing tokenizer_config.json is fine, unreadable one is not",
         {{"tokenizer.json", "{}"}, {"tokenizer_config.json/inner", "x"}},
         Kind::fileSystemError,
         "File system error"},
    };
    for (const auto& c : cases) {
        fs::remove_all(local.path());
        for (const auto& [name, contents] : c.files) {
            fs::create_directories((local / name).parent_path());
            writeFile(local / name, contents);
        }
        const auto error = hubErrorOf([&] { loadLocal(); });
        ASSERT_TRUE(error) << c.name;
        EXPECT_EQ(error->kind(), c.kind) << c.name;
        EXPECT_NE(error->description().find(c.descriptionPart), std::string::npos)
            << c.name << ": " << error->description();
    }
}

TEST_F(ConfigurationLoadingTest, FromTheHubOnlyTheConfigurationFilesAreFetched) {
    addRemoteFile("config.json", R"({"model_type": "whisper"})");
    addRemoteFile("tokenizer.json", R"({"added_tokens": []})");
    addRemoteFile("model.bin", "weights");

    const LanguageModelConfigurationFromHub loader(repoId, "main", wrapper());
    const auto loaded = blockingRun(loader.configurations());

    ASSERT_TRUE(loaded.modelConfig);
    EXPECT_EQ((*loaded.modelConfig)["model_type"].string(), "whisper");
    EXPECT_TRUE(loaded.tokenizerData["added_tokens"].arrayValue());
    EXPECT_EQ((*blockingRun(loader.tokenizerConfig()))["tokenizer_class"].string(), std::nullopt);
    EXPECT_EQ(hub.fileDownloads(), 2u);
    EXPECT_FALSE(
        fs::exists(wrapper().localRepoLocation({repoId, HubApiWrapper::RepoType::models}) / "model.bin"));
}

TEST_F(ConfigurationLoadingTest, AHubRepositoryWithoutTokenizerDataFailsClearly) {
    addRemoteFile("config.json", "{}");
    const LanguageModelConfigurationFromHub loader(repoId, "main", wrapper());
    const auto error = hubErrorOf([&] { blockingRun(loader.configurations()); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HubClientError::Kind::configurationMissing);
    // Every reader gets the same failure.
    EXPECT_TRUE(hubErrorOf([&] { blockingRun(loader.tokenizerConfig()); }));
}

TEST_F(ConfigurationLoadingTest, AnUnreachableHubFailsTheLoadAtItsListing) {
    const HubApiWrapper unreachable(cache.path(), std::string("t"), std::string("http://127.0.0.1:1"));
    const LanguageModelConfigurationFromHub loader(repoId, "main", unreachable);
    const auto error = hubErrorOf([&] { blockingRun(loader.configurations()); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HubClientError::Kind::downloadError) << error->description();
}

TEST(LanguageModelConfigurationFromHub, TransportFailuresOfAHubLoadBecomeHubErrors) {
    using System::Net::TransportError;
    using Kind = HubClientError::Kind;
    const struct {
        std::exception_ptr failure;
        Kind kind;
        std::string description;
    } cases[] = {
        {std::make_exception_ptr(TransportError(TransportError::Code::resourceUnavailable)),
         Kind::resourceNotFound, "Resource not found: owner/model"},
        {std::make_exception_ptr(TransportError(TransportError::Code::networkConnectionLost)),
         Kind::networkError, "Network error: The network connection was lost."},
        {std::make_exception_ptr(TransportError(TransportError::Code::cannotFindHost)), Kind::networkError,
         "Network error: A server with the specified hostname could not be found."},
        {std::make_exception_ptr(HubClientError::authorizationRequired()), Kind::authorizationRequired,
         "Authentication required. Please provide a valid model hub token."},
    };
    for (const auto& c : cases) {
        const auto error = hubErrorOf([&] {
            std::rethrow_exception(
                LanguageModelConfigurationFromHub::hubLoadingError(c.failure, "owner/model"));
        });
        ASSERT_TRUE(error) << c.description;
        EXPECT_EQ(error->kind(), c.kind) << c.description;
        EXPECT_EQ(error->description(), c.description);
    }
    EXPECT_THROW(std::rethrow_exception(LanguageModelConfigurationFromHub::hubLoadingError(
                     std::make_exception_ptr(std::runtime_error("disk")), "owner/model")),
                 std::runtime_error);
}

TEST(HubApiWrapper, RepositoriesEncodeTheirTypeAndLieInTheCache) {
    const HubApiWrapper wrapper(std::filesystem::path("/base"), std::string(""), std::string("http://h"));
    EXPECT_EQ(wrapper.localRepoLocation({"O/N", HubApiWrapper::RepoType::models}), "/base/models/O/N");
    EXPECT_EQ(HubApiWrapper::decodeRepo(nlohmann::json{{"id", "a/b"}, {"type", "spaces"}}).type,
              HubApiWrapper::RepoType::spaces);
    EXPECT_THROW(HubApiWrapper::decodeRepo(nlohmann::json{{"id", "a/b"}, {"type", "space"}}), HubClientError);
    const HubApiWrapper::Repo repo{"a/b", HubApiWrapper::RepoType::datasets};
    EXPECT_EQ(HubApiWrapper::decodeRepo(HubApiWrapper::encode(repo)), repo);
    EXPECT_NE(repo, (HubApiWrapper::Repo{"a/b", HubApiWrapper::RepoType::models}));
}

} // namespace
} // namespace VuzadoDudi::HubTests
