#include "HubTestSupport.h"

#include <nlohmann/json.hpp>

#include <unordered_set>

namespace VuzadoDudi::HubTests {
namespace {

namespace fs = std::filesystem;

// Every variable the client reads, cleared, with a home folder of the test's own.
class HubEnvironmentTest : public testing::Test {
protected:
    HubEnvironmentTest() {
        for (const char* name : {"HUB_TOKEN", "MODEL_HUB_TOKEN", "HUB_TOKEN_PATH", "HUB_HOME", "HUB_ENDPOINT",
                                 "CI_DISABLE_NETWORK_MONITOR", "XDG_DOCUMENTS_DIR", "XDG_CONFIG_HOME"}) {
            environment.set(name, std::nullopt);
        }
        environment.set("HOME", home.path().string());
    }

    void writeHomeFile(const std::string& relative, const std::string& contents) {
        fs::create_directories((home / relative).parent_path());
        writeFile(home / relative, contents);
    }

    ScopedEnvironment environment;
    TemporaryFolder home{"hub-home"};
};

TEST_F(HubEnvironmentTest, TokenSearchTakesTheFirstNonEmptySourceInOrder) {
    struct Case {
        std::string name;
        std::map<std::string, std::string> variables;
        std::map<std::string, std::string> homeFiles;
        std::optional<std::string> token;
    };
    const Case cases[] = {
        {"nothing anywhere", {}, {}, std::nullopt},
        {"first variable", {{"HUB_TOKEN", "a"}, {"MODEL_HUB_TOKEN", "b"}}, {}, "a"},
        {"empty first variable passes on", {{"HUB_TOKEN", ""}, {"MODEL_HUB_TOKEN", "b"}}, {}, "b"},
        {"token path file", {{"HUB_TOKEN_PATH", "~/custom/tok"}}, {{"custom/tok", "c"}}, "c"},
        {"missing token path file passes on",
         {{"HUB_TOKEN_PATH", "~/nowhere"}},
         {{".cache/modelhub/token", "e"}},
         "e"},
        {"home variable",
         {{"HUB_HOME", "~/hubhome"}},
         {{"hubhome/token", "d"}, {".modelhub/token", "f"}},
         "d"},
        {"first fallback file", {}, {{".cache/modelhub/token", "e"}, {".modelhub/token", "f"}}, "e"},
        {"second fallback file", {}, {{".modelhub/token", "f"}}, "f"},
        {"trailing newline trimmed", {}, {{".modelhub/token", "  tok-with-newline\n"}}, "tok-with-newline"},
        {"white space only passes on", {{"HUB_TOKEN", " \n"}}, {{".modelhub/token", "f"}}, "f"},
        {"file that is not UTF-8 passes on",
         {},
         {{".cache/modelhub/token", "\xff\xfe"}, {".modelhub/token", "f"}},
         "f"},
    };
    for (const auto& c : cases) {
        TemporaryFolder caseHome("hub-case-home");
        environment.set("HOME", caseHome.path().string());
        for (const char* name : {"HUB_TOKEN", "MODEL_HUB_TOKEN", "HUB_TOKEN_PATH", "HUB_HOME"}) {
            environment.set(name, std::nullopt);
        }
        for (const auto& [name, value] : c.variables) {
            environment.set(name, value);
        }
        for (const auto& [relative, contents] : c.homeFiles) {
            fs::create_directories((caseHome / relative).parent_path());
            writeFile(caseHome / relative, contents);
        }
        EXPECT_EQ(HubApi::hubTokenFromEnv(), c.token) << c.name;
    }
}

TEST_F(HubEnvironmentTest, AGivenTokenIsKeptAsItIsAndSkipsTheSearch) {
    environment.set("HUB_TOKEN", "from-environment");
    EXPECT_EQ(HubApi(home.path(), std::string("")).hubToken, "");
    EXPECT_EQ(HubApi(home.path(), std::string("given")).hubToken, "given");
    EXPECT_EQ(HubApi(home.path()).hubToken, "from-environment");
}

TEST_F(HubEnvironmentTest, EndpointComesFromTheCallerThenTheEnvironmentThenTheBuild) {
    EXPECT_EQ(HubApi(home.path()).endpoint, HubApi::defaultEndpoint());
    environment.set("HUB_ENDPOINT", "http://127.0.0.1:9");
    EXPECT_EQ(HubApi(home.path()).endpoint, "http://127.0.0.1:9");
    EXPECT_EQ(HubApi(home.path(), std::nullopt, std::string("http://given")).endpoint, "http://given");
    environment.set("HUB_ENDPOINT", "");
    EXPECT_EQ(HubApi(home.path()).endpoint, ""); // set but empty still wins
}

TEST_F(HubEnvironmentTest, TheDefaultEndpointIsANeutralPlaceholder) {
    const auto endpoint = HubApi::defaultEndpoint();
    EXPECT_TRUE(endpoint.starts_with("https://")) << endpoint;
    EXPECT_NE(endpoint.back(), '/');
}

TEST_F(HubEnvironmentTest, ATokenWithControlCharactersIsNeverSent) {
    EXPECT_EQ(HubApi::authorization(std::nullopt), std::nullopt);
    EXPECT_EQ(HubApi::authorization(std::string("")), std::nullopt);
    EXPECT_EQ(HubApi::authorization(std::string("abc")), "Bearer abc");
    for (const std::string& bad :
         {std::string("ab\ncd"), std::string("ab\rX-Injected: 1"), std::string("a\0b", 3),
          std::string("tab\there"), std::string("del\x7f")}) {
        EXPECT_THROW(HubApi::authorization(bad), HubApi::InvalidTokenError) << bad;
    }
}

TEST_F(HubEnvironmentTest, TheCacheLayoutNestsTypeOwnerAndName) {
    const HubApi api(home.path() / "base");
    EXPECT_EQ(api.localRepoLocation({"O/N", HubApi::RepoType::datasets}), home.path() / "base/datasets/O/N");
    EXPECT_EQ(api.metadataLocation({"O/N", HubApi::RepoType::datasets}),
              home.path() / "base/datasets/O/N/.cache/modelhub/download");
    EXPECT_EQ(api.localRepoLocation({"O/N", HubApi::RepoType::models}), home.path() / "base/models/O/N");
}

TEST_F(HubEnvironmentTest, WithoutABaseTheCacheLivesInTheDocumentsFolder) {
    EXPECT_EQ(HubApi().localRepoLocation({"O/N", HubApi::RepoType::models}),
              home.path() / "Documents/modelhub/models/O/N");
}

TEST_F(HubEnvironmentTest, RepoTypesReadOnlyTheirOwnWords) {
    EXPECT_EQ(HubApi::repoTypeFromRawValue("spaces"), HubApi::RepoType::spaces);
    EXPECT_EQ(HubApi::repoTypeFromRawValue("models"), HubApi::RepoType::models);
    EXPECT_EQ(HubApi::repoTypeFromRawValue("Models"), std::nullopt);
    EXPECT_EQ(HubApi::repoTypeFromRawValue("model"), std::nullopt);
}

TEST(HubRepo, CodesAsIdAndTypeAndHashesOverBoth) {
    const HubApi::Repo repo{"a/b", HubApi::RepoType::datasets};
    EXPECT_EQ(HubApi::encode(repo), (nlohmann::json{{"id", "a/b"}, {"type", "datasets"}}));
    EXPECT_EQ(HubApi::decodeRepo(HubApi::encode(repo)), repo);
    for (const auto& bad : {nlohmann::json{{"id", "a/b"}}, nlohmann::json{{"id", 1}, {"type", "models"}},
                            nlohmann::json{{"id", "a/b"}, {"type", "model"}}, nlohmann::json::array()}) {
        const auto error = hubErrorOf([&] { HubApi::decodeRepo(bad); });
        ASSERT_TRUE(error) << bad.dump();
        EXPECT_EQ(error->kind(), HubClientError::Kind::parse) << bad.dump();
    }
    const std::unordered_set<HubApi::Repo> repos{
        repo, {"a/b", HubApi::RepoType::models}, {"a/c", HubApi::RepoType::datasets}, repo};
    EXPECT_EQ(repos.size(), 3u);
    EXPECT_TRUE(repos.contains(HubApi::Repo{"a/b", HubApi::RepoType::datasets}));
}

TEST_F(HubEnvironmentTest, TheCiSwitchPrintsTheTokenStatusOnlyWhenExactlyOne) {
    const auto printed = [&](std::optional<std::string> variable, std::optional<std::string> token) {
        environment.set("CI_DISABLE_NETWORK_MONITOR", variable);
        testing::internal::CaptureStdout();
        HubApi api(home.path(), std::move(token));
        return testing::internal::GetCapturedStdout();
    };
    EXPECT_EQ(printed("1", std::nullopt), "🔴 NO TOKEN **\n");
    EXPECT_EQ(printed("1", std::string("t")), "✅ got token\n");
    EXPECT_EQ(printed("01", std::nullopt), "");
    EXPECT_EQ(printed("yes", std::nullopt), "");
    EXPECT_EQ(printed(std::nullopt, std::nullopt), "");
}

} // namespace
} // namespace VuzadoDudi::HubTests
