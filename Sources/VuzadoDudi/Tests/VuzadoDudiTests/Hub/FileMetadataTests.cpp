#include "HubTestSupport.h"

#include "System/Crypto/Sha256.h"
#include "System/Log/Logger.h"

namespace VuzadoDudi::HubTests {
namespace {

namespace fs = std::filesystem;
using System::Net::HttpResponse;

HttpResponse responseWith(int status, System::Net::HttpHeaders headers, std::string url = "http://final/x") {
    HttpResponse response;
    response.status = status;
    response.headers = std::move(headers);
    response.url = std::move(url);
    return response;
}

TEST(FileMetadata, HeadersBecomeMetadata) {
    const std::string requested = "http://hub/o/n/resolve/main/f";
    const struct {
        std::string name;
        HttpResponse response;
        HubApi::FileMetadata expected;
    } cases[] = {
        {"plain answer, names in any case",
         responseWith(200, {{"x-repo-commit", "c1"}, {"etag", "\"e1\""}, {"content-length", "42"}}),
         {"c1", "e1", "http://final/x", 42}},
        {"linked headers win",
         responseWith(302, {{"X-Linked-Etag", "\"linked\""},
                            {"ETag", "\"blob\""},
                            {"X-Linked-Size", "7"},
                            {"Content-Length", "0"},
                            {"Location", "http://cdn/f"}}),
         {std::nullopt, "linked", "http://cdn/f", 7}},
        {"empty linked headers still win",
         responseWith(
             200,
             {{"X-Linked-Etag", ""}, {"ETag", "\"blob\""}, {"X-Linked-Size", ""}, {"Content-Length", "9"}}),
         {std::nullopt, "", "http://final/x", std::nullopt}},
        {"302 without Location falls back to the request",
         responseWith(302, {}),
         {std::nullopt, std::nullopt, requested, std::nullopt}},
        {"200 ignores a Location",
         responseWith(200, {{"Location", "http://elsewhere"}}),
         {std::nullopt, std::nullopt, "http://final/x", std::nullopt}},
        {"307 uses the final address",
         responseWith(307, {{"Location", "http://elsewhere"}}),
         {std::nullopt, std::nullopt, "http://final/x", std::nullopt}},
        {"weak quoted etag",
         responseWith(200, {{"ETag", "W/\"abc\""}}),
         {std::nullopt, "abc", "http://final/x", std::nullopt}},
        {"quotes only",
         responseWith(200, {{"ETag", "\"\"\""}}),
         {std::nullopt, "", "http://final/x", std::nullopt}},
        {"inner quotes stay",
         responseWith(200, {{"ETag", "\"a\"b\""}}),
         {std::nullopt, "a\"b", "http://final/x", std::nullopt}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HubApi::fileMetadata(c.response, requested), c.expected) << c.name;
    }
}

TEST(FileMetadata, SizeTextIsASignedDecimalOrNothing) {
    const std::pair<std::string, std::optional<std::int64_t>> cases[] = {
        {"123", 123},
        {"+5", 5},
        {"-5", -5},
        {"", std::nullopt},
        {"12abc", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {" 12", std::nullopt},
        {"9223372036854775807", INT64_MAX},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775808", INT64_MIN},
        {"0x10", std::nullopt},
    };
    for (const auto& [text, size] : cases) {
        EXPECT_EQ(HubApi::fileMetadata(responseWith(200, {{"Content-Length", text}}), "u").size, size)
            << text;
    }
}

class DownloadRecordTest : public testing::Test {
protected:
    fs::path record(const std::string& name = "model.bin.metadata") const { return folder / "sub" / name; }
    void writeRecord(const std::string& text, const std::string& name = "model.bin.metadata") {
        fs::create_directories(record(name).parent_path());
        writeFile(record(name), text);
    }
    TemporaryFolder folder{"hub-records"};
};

TEST_F(DownloadRecordTest, AWrittenRecordReadsBack) {
    const auto before = std::chrono::system_clock::now();
    HubApi::writeDownloadMetadata(std::string(40, 'a'), std::string(64, 'b'), record());
    const auto read = HubApi::readDownloadMetadata(record());

    ASSERT_TRUE(read);
    EXPECT_EQ(read->commitHash, std::string(40, 'a'));
    EXPECT_EQ(read->etag, std::string(64, 'b'));
    EXPECT_EQ(read->filename, "model.bin");
    EXPECT_GE(read->timestamp, before - std::chrono::seconds(1));
    const auto text = readAll(record());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_NE(text.substr(text.rfind('\n', text.size() - 2) + 1).find('.'), std::string::npos) << text;
    EXPECT_EQ(System::FileTesting::entryCount(record().parent_path()), 1); // no temporary file left behind
}

TEST_F(DownloadRecordTest, RecordsAreReadLeniently) {
    const struct {
        std::string text;
        std::string commit;
        std::string etag;
        double seconds;
    } cases[] = {
        {"c\ne\n1700000000.5\n", "c", "e", 1700000000.5},
        {"  c  \n\te\n 12 \nextra\nlines\n", "c", "e", 12},
        {"\n\n0\n", "", "", 0},
        {"c\ne\n1e3", "c", "e", 1000},
    };
    for (const auto& c : cases) {
        writeRecord(c.text);
        const auto read = HubApi::readDownloadMetadata(record());
        ASSERT_TRUE(read) << c.text;
        EXPECT_EQ(read->commitHash, c.commit);
        EXPECT_EQ(read->etag, c.etag);
        EXPECT_EQ(std::chrono::duration<double>(read->timestamp.time_since_epoch()).count(), c.seconds);
    }
}

TEST_F(DownloadRecordTest, ADamagedRecordIsLoggedRemovedAndReadAsAbsent) {
    const struct {
        std::string text;
        std::string reason;
    } cases[] = {
        {"c\ne", "Metadata file is missing required fields"},
        {"", "Metadata file is missing required fields"},
        {"c\ne\nyesterday\n", "Invalid timestamp format"},
        {"c\r\ne\r\n1700000000.5\r\n", "Invalid timestamp format"}, // CRLF shifts the lines
        {"c\ne\n1e400\n", "Invalid timestamp format"},
        {"c\ne\nnan\n", "Invalid timestamp format"},
        {"c\ne\n", "Invalid timestamp format"}, // truncated after the etag
        {"c\ne\n\xff\n", "not UTF-8"},
    };
    for (const auto& c : cases) {
        writeRecord(c.text);
        System::Log::CaptureSink logs;
        EXPECT_EQ(HubApi::readDownloadMetadata(record()), std::nullopt) << c.text;
        EXPECT_FALSE(fs::exists(record())) << c.text;
        const auto messages = logs.messages("HubApi");
        ASSERT_EQ(messages.size(), 1u) << c.text;
        EXPECT_NE(messages[0].find(c.reason), std::string::npos) << messages[0];
        EXPECT_NE(messages[0].find("Removing it from disk and continuing."), std::string::npos)
            << messages[0];
    }
}

TEST_F(DownloadRecordTest, NoRecordIsQuietlyAbsent) {
    System::Log::CaptureSink logs;
    EXPECT_EQ(HubApi::readDownloadMetadata(record()), std::nullopt);
    EXPECT_TRUE(logs.records().empty());
}

TEST_F(DownloadRecordTest, TheFilenameDropsEveryMetadataSuffix) {
    writeRecord("c\ne\n1.0\n", "a.metadata.b.metadata");
    EXPECT_EQ(HubApi::readDownloadMetadata(record("a.metadata.b.metadata"))->filename, "a.b");
}

TEST_F(DownloadRecordTest, AnUnwritableRecordIsAFileWriteError) {
    writeFile(folder / "blocker", "a file where a folder should be");
    const auto error = environmentErrorOf(
        [&] { HubApi::writeDownloadMetadata("c", "e", folder / "blocker" / "x.metadata"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HubApi::EnvironmentError::Kind::fileWriteError);
    EXPECT_TRUE(error->description().starts_with("Failed to write file: Failed to write metadata to "))
        << error->description();
}

TEST(ComputeFileHash, HashesTheWholeFileOrFails) {
    TemporaryFolder folder("hub-hash");
    writeFile(folder / "empty", "");
    EXPECT_EQ(HubApi::computeFileHash(folder / "empty"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 31);
    }
    writeFile(folder / "big", big);
    EXPECT_EQ(HubApi::computeFileHash(folder / "big"), System::Crypto::Sha256::hexDigest(big));

    const auto missing = hubErrorOf([&] { HubApi::computeFileHash(folder / "missing.bin"); });
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->kind(), HubClientError::Kind::fileNotFound);
    EXPECT_EQ(missing->payload(), "missing.bin");

    // A folder opens but cannot be read: a read error, never the hash of nothing.
    const auto unreadable = hubErrorOf([&] { HubApi::computeFileHash(folder.path()); });
    ASSERT_TRUE(unreadable);
    EXPECT_EQ(unreadable->kind(), HubClientError::Kind::fileSystemError);
}

TEST(UnsafeNames, EtagsThatWouldBecomePathsAreRefused) {
    EXPECT_NO_THROW(HubApi::checkEtag(std::string(64, 'a'), "f"));
    EXPECT_NO_THROW(HubApi::checkEtag("..", "f"));
    const auto error = environmentErrorOf([] { HubApi::checkEtag("../../x", "f"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HubApi::EnvironmentError::Kind::invalidMetadataError);
}

} // namespace
} // namespace VuzadoDudi::HubTests
