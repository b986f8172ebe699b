#include "HubTestSupport.h"

#include "VuzadoDudi/External/Hub/PretrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "WhisperTokenizerWriter.h"

namespace VuzadoDudi::HubTests {
namespace {

namespace fs = std::filesystem;

class PretrainedTokenizerTest : public HubFixture {
protected:
    PretrainedTokenizerTest() {
        WhisperTokenizerWriter::Options small;
        small.mergeCount = 300;
        small.generatedWords = 2000;
        const auto written = WhisperTokenizerWriter::cachedFolder(small);
        for (const auto name : {"tokenizer.json", "tokenizer_config.json"}) {
            addRemoteFile(name, readAll(written / name));
        }
        addRemoteFile("model.bin", "weights nobody needs");
    }
    HubApiWrapper wrapper() const { return HubApiWrapper(cache.path(), std::string(""), hub.endpoint()); }
};

TEST_F(PretrainedTokenizerTest, ATokenizerByNameComesFromTheMainRevision) {
    const auto tokenizer = blockingRun(AutoTokenizerWrapper::fromPretrained(repoId, wrapper()));

    const auto ids = tokenizer.encode("hello world", false);
    EXPECT_FALSE(ids.empty());
    EXPECT_EQ(tokenizer.decode(ids), "hello world");
    const auto listing = hub.requests("GET").front();
    EXPECT_EQ(listing.target, "/api/models/owner/model/revision/main");
    EXPECT_EQ(hub.fileDownloads(), 2u); // the two tokenizer files, not the weights
}

TEST_F(PretrainedTokenizerTest, AFolderWithoutTokenizerConfigurationIsMissingConfig) {
    TemporaryFolder folder("hub-tokenizer-folder");
    writeFile(folder / "tokenizer.json", readAll(remote / "tokenizer.json"));
    try {
        blockingRun(AutoTokenizerWrapper::fromModelFolder(folder.path(), wrapper()));
        FAIL() << "a tokenizer without configuration was built";
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.kind(), TokenizerError::Kind::missingConfig);
    }
    EXPECT_TRUE(hub.requests().empty());
}

TEST_F(PretrainedTokenizerTest, AMalformedTokenizerDefinitionIsAClearError) {
    writeFile(remote / "tokenizer.json", R"({"model": {"type": "BPE", "vocab": )");
    const auto error =
        hubErrorOf([&] { blockingRun(AutoTokenizerWrapper::fromPretrained(repoId, wrapper())); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HubClientError::Kind::jsonSerialization);
    EXPECT_NE(error->description().find("tokenizer.json"), std::string::npos) << error->description();
}

} // namespace
} // namespace VuzadoDudi::HubTests
