#include "HubTestSupport.h"

#include "System/Concurrency/SerialQueue.h"
#include "System/Crypto/Sha256.h"
#include "VuzadoDudi/External/Hub/HubFileDownloader.h"
#include "VuzadoDudi/External/Hub/Progress.h"

#include <condition_variable>
#include <mutex>
#include <sys/stat.h>

namespace VuzadoDudi::HubTests {
namespace {

namespace fs = std::filesystem;
using HubTesting::FileBehaviour;
using System::Concurrency::Task;

// Every file below a folder with its modification time, records included: what "writes nothing" compares.
std::map<std::string, std::int64_t> modificationTimes(const fs::path& folder) {
    std::map<std::string, std::int64_t> times;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        struct stat info {};
        stat(entry.path().c_str(), &info);
        times[entry.path().string()] = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
    }
    return times;
}

class SnapshotTest : public HubFixture {
protected:
    SnapshotTest() {
        addRemoteFile("config.json", R"({"model_type": "whisper"})");
        addRemoteFile("weights/model.bin", std::string(300000, 'w'));
        addRemoteFile("tokenizer.json", "{}");
    }

    fs::path snapshot(const HubApi& api, std::vector<std::string> globs = {},
                      HubApi::ProgressHandler handler = {}) const {
        return blockingRun(api.snapshot(repo, "main", std::move(globs), std::move(handler)));
    }

    fs::path repoFolder() const { return cache / "models" / "owner" / "model"; }
    fs::path record(const std::string& name) const {
        return repoFolder() / ".cache" / "modelhub" / "download" / (name + ".metadata");
    }
};

TEST_F(SnapshotTest, DownloadsEveryListedFileWithItsRecord) {
    const auto folder = snapshot(client());

    EXPECT_EQ(folder, repoFolder());
    for (const auto name : {"config.json", "weights/model.bin", "tokenizer.json"}) {
        EXPECT_EQ(readAll(folder / name), readAll(remote / name)) << name;
        const auto written = HubApi::readDownloadMetadata(record(name));
        ASSERT_TRUE(written) << name;
        EXPECT_EQ(written->commitHash, hub.commit(repoId));
        EXPECT_EQ(written->etag, System::Crypto::Sha256::hexDigest(readAll(remote / name)));
    }
    for (const auto& request : hub.requests("GET")) {
        EXPECT_EQ(request.header("Authorization"), "Bearer secret-token") << request.target;
    }
}

TEST_F(SnapshotTest, ASecondSnapshotAtTheSameCommitOnlyAsksAndWritesNothing) {
    snapshot(client());
    const auto before = modificationTimes(repoFolder());
    const auto requestsBefore = hub.requests().size();

    snapshot(client());

    const auto all = hub.requests();
    std::vector<std::string> methods;
    for (std::size_t i = requestsBefore; i < all.size(); ++i) {
        methods.push_back(all[i].method + (all[i].target.starts_with("/api/") ? " listing" : ""));
    }
    EXPECT_EQ(methods, (std::vector<std::string>{"GET listing", "HEAD", "HEAD", "HEAD"}));
    EXPECT_EQ(modificationTimes(repoFolder()), before);
}

TEST_F(SnapshotTest, PatternsNarrowWhatIsFetched) {
    snapshot(client(), {"*.json"});
    EXPECT_TRUE(fs::exists(repoFolder() / "config.json"));
    EXPECT_TRUE(fs::exists(repoFolder() / "tokenizer.json"));
    EXPECT_FALSE(fs::exists(repoFolder() / "weights"));
}

TEST_F(SnapshotTest, ProgressIsTheMeanOfTheFilesAndEndsComplete) {
    std::vector<std::pair<double, std::int64_t>> reports;
    snapshot(client(), {}, [&](const Progress& total) {
        EXPECT_EQ(total.totalUnitCount(), 3);
        reports.emplace_back(total.fractionCompleted(), total.completedUnitCount());
    });
    ASSERT_FALSE(reports.empty());
    EXPECT_DOUBLE_EQ(reports.back().first, 1.0);
    EXPECT_EQ(reports.back().second, 3);
    for (std::size_t i = 0; i + 1 < reports.size(); ++i) {
        EXPECT_LT(reports[i].first, 1.0) << "complete before the last file was in";
    }
}

TEST_F(SnapshotTest, AnEmptySelectionReportsOnceAndTouchesNothing) {
    int reports = 0;
    snapshot(client(), {"nothing*"}, [&](const Progress& total) {
        ++reports;
        EXPECT_EQ(total.totalUnitCount(), 0);
    });
    EXPECT_EQ(reports, 1);
    EXPECT_FALSE(fs::exists(repoFolder()));
}

TEST_F(SnapshotTest, AnEmptyTokenSendsNoAuthorizationAnywhere) {
    snapshot(HubApi(cache.path(), std::string(""), hub.endpoint(), false, false));
    for (const auto& request : hub.requests()) {
        EXPECT_EQ(request.headerCount("Authorization"), 0u) << request.method << " " << request.target;
    }
}

TEST_F(SnapshotTest, AFailingFileStopsTheSnapshot) {
    FileBehaviour refused;
    refused.refuseWith = 403;
    hub.setBehaviour(repoId, "tokenizer.json", refused);
    const auto error = hubErrorOf([&] { snapshot(client()); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HubClientError::Kind::authorizationRequired);
    EXPECT_TRUE(fs::exists(repoFolder() / "config.json"));        // before it in the listing
    EXPECT_FALSE(fs::exists(repoFolder() / "weights/model.bin")); // after it: never tried
}

TEST_F(SnapshotTest, TwoSnapshotsOfOneRepositoryAtOnceBothSucceed) {
    // A GET of the large file waits for a second one (for a while at most), so that two transfers of it
    // surely overlap wherever they can.
    struct Meeting {
        std::mutex mutex;
        std::condition_variable arrived;
        int count = 0;
    };
    const auto meeting = std::make_shared<Meeting>();
    FileBehaviour behaviour;
    behaviour.onGet = [meeting] {
        std::unique_lock lock(meeting->mutex);
        ++meeting->count;
        meeting->arrived.notify_all();
        meeting->arrived.wait_for(lock, std::chrono::seconds(2), [&] { return meeting->count >= 2; });
    };
    hub.setBehaviour(repoId, "weights/model.bin", behaviour);
    System::Concurrency::RunLoop loop;
    const auto api = client();

    const auto first = System::Concurrency::spawn(loop, api.snapshot(repo, "main"));
    const auto second = System::Concurrency::spawn(loop, api.snapshot(repo, "main"));
    loop.runUntil([&] { return first.isDone() && second.isDone(); });

    for (const auto* snapshot : {&first, &second}) {
        try {
            EXPECT_EQ(snapshot->result(), repoFolder());
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
        }
    }
    for (const auto name : {"config.json", "weights/model.bin", "tokenizer.json"}) {
        EXPECT_EQ(readAll(repoFolder() / name), readAll(remote / name)) << name;
    }
    EXPECT_EQ(hub.fileDownloads(), 3u); // one waited for the other and found each file current
}

TEST_F(SnapshotTest, ACancelledSnapshotEndsWithACancellationError) {
    System::Concurrency::RunLoop loop;
    const auto api = client();
    auto handle = std::make_shared<System::Concurrency::TaskHandle<fs::path>>();
    *handle = System::Concurrency::spawn(
        loop, api.snapshot(repo, "main", {}, [handle](const Progress&) { handle->cancel(); }));
    loop.runUntil([&] { return handle->isDone(); });

    EXPECT_THROW(handle->result(), System::Concurrency::CancellationError);
    EXPECT_FALSE(fs::exists(repoFolder() / "weights/model.bin")); // the files after it are not fetched
}

class SnapshotFileDecisionTest : public SnapshotTest {
protected:
    void cacheFile(const std::string& name, const std::string& contents) {
        fs::create_directories((repoFolder() / name).parent_path());
        writeFile(repoFolder() / name, contents);
    }
};

TEST_F(SnapshotFileDecisionTest, TheCachedCopyIsKeptWhenItIsTheHubsVersion) {
    const std::string config = readAll(remote / "config.json");
    const struct {
        std::string name;
        std::optional<std::string> recordCommit;
        std::optional<std::string> recordEtag;
        std::optional<std::string> hubEtag; // the content hash when absent
        std::string cachedBytes;
        bool fetched;
        bool recordWritten;
    } cases[] = {
        {"record at the current commit", hub.commit(repoId), "stale", std::nullopt, "local bytes", false,
         false},
        {"record etag matches", std::string(40, '0'), "short-etag", "short-etag", "local bytes", false, true},
        {"no record, bytes hash to the etag", std::nullopt, std::nullopt, std::nullopt, config, false, true},
        {"no record, etag is no hash", std::nullopt, std::nullopt, "short-etag", config, true, true},
        {"record etag differs, bytes differ", std::string(40, '0'), "old", std::nullopt, "old bytes", true,
         true},
    };
    for (const auto& c : cases) {
        fs::remove_all(repoFolder());
        cacheFile("config.json", c.cachedBytes);
        if (c.recordCommit) {
            HubApi::writeDownloadMetadata(*c.recordCommit, *c.recordEtag, record("config.json"));
        }
        const auto recordBefore = fs::exists(record("config.json")) ? readAll(record("config.json")) : "";
        FileBehaviour behaviour;
        behaviour.etag = c.hubEtag;
        hub.setBehaviour(repoId, "config.json", behaviour);
        const auto downloadsBefore = hub.fileDownloads();

        snapshot(client(), {"config.json"});

        EXPECT_EQ(hub.fileDownloads() - downloadsBefore, c.fetched ? 1u : 0u) << c.name;
        EXPECT_EQ(readAll(repoFolder() / "config.json"), c.fetched ? config : c.cachedBytes) << c.name;
        EXPECT_EQ(readAll(record("config.json")) != recordBefore, c.recordWritten) << c.name;
    }
}

// The hub replaces a file (same size) while it is being fetched, between a cut and the resume: the rest of
// the new version must never be appended to the start of the old one.
TEST_F(SnapshotFileDecisionTest, AFileReplacedOnTheHubDuringItsDownloadIsNeverSavedAsAMix) {
    constexpr std::size_t kSize = 10 * 1024 * 1024 + 300000; // more than one 10 MiB chunk, so the cut resumes
    const std::string oldBytes(kSize, 'o');
    const std::string newBytes(kSize, 'n');
    const std::string oldHash = System::Crypto::Sha256::hexDigest(oldBytes);
    const struct {
        std::string name;
        std::optional<std::string> etag; // the content hash when absent
        std::optional<std::string> newEtag;
        bool succeeds;
    } cases[] = {
        {"opaque etag", "v1", "v2", true},
        {"content-hash etag", std::nullopt, std::nullopt, false},
    };
    const fs::path model = repoFolder() / "weights/model.bin";
    for (const auto& c : cases) {
        fs::remove_all(repoFolder());
        addRemoteFile("weights/model.bin", oldBytes);
        FileBehaviour behaviour;
        behaviour.etag = c.etag;
        behaviour.cuts = {kSize - 200000};
        behaviour.replaceAfterCut = FileBehaviour::Replacement{newBytes, c.newEtag};
        hub.setBehaviour(repoId, "weights/model.bin", behaviour);
        const auto getsBefore = hub.requests("GET").size();

        if (c.succeeds) {
            snapshot(client(), {"weights/*"});
            EXPECT_EQ(System::Crypto::Sha256::hexDigest(readAll(model)),
                      System::Crypto::Sha256::hexDigest(newBytes))
                << c.name;
        } else {
            const auto error = environmentErrorOf([&] { snapshot(client(), {"weights/*"}); });
            ASSERT_TRUE(error) << c.name;
            EXPECT_EQ(error->kind(), HubApi::EnvironmentError::Kind::fileIntegrityError)
                << error->description();
            EXPECT_FALSE(fs::exists(model)) << c.name;
            EXPECT_FALSE(fs::exists(record("weights/model.bin"))) << c.name;
        }
        // The resume named the version it continues; nothing partial is left over.
        const auto gets = hub.requests("GET");
        ASSERT_EQ(gets.size() - getsBefore, 3u) << c.name; // the listing, the cut transfer, the resume
        EXPECT_EQ(gets.back().header("If-Range"), "\"" + c.etag.value_or(oldHash) + "\"") << c.name;
        for (const auto& entry : fs::recursive_directory_iterator(repoFolder())) {
            EXPECT_FALSE(entry.path().string().ends_with(".incomplete")) << entry.path();
        }
    }
}

// A download waiting for another of the same file can be cancelled while the other goes on; the file's turn
// is then free for later downloads.
TEST_F(SnapshotFileDecisionTest, ADownloadWaitingForAnotherOfTheSameFileCanBeCancelled) {
    System::Net::Testing::Gate& gate = hub.server().gate();
    FileBehaviour held;
    held.onGet = [&gate] { gate.wait(); };
    hub.setBehaviour(repoId, "weights/model.bin", held);
    const HubApi::HubFileDownloader downloader{client(),
                                               repo,
                                               "main",
                                               repoFolder(),
                                               repoFolder() / ".cache/modelhub/download",
                                               "weights/model.bin",
                                               std::string("secret-token"),
                                               hub.endpoint(),
                                               false};
    System::Concurrency::SerialQueue firstQueue("hub-test-first");
    System::Concurrency::SerialQueue secondQueue("hub-test-second");

    const auto first = System::Concurrency::spawn(firstQueue, downloader.download());
    gate.awaitWaiting(1); // the first holds the file's turn, its transfer held at the hub
    const auto second = System::Concurrency::spawn(secondQueue, downloader.download());
    // The queue runs in order, so the second has reached its wait once this has run there.
    blockingRun(System::Concurrency::runOn(secondQueue, [] { return 0; }));
    second.cancel();

    EXPECT_THROW(blockingRun(second.value()), System::Concurrency::CancellationError);
    gate.open();
    EXPECT_EQ(blockingRun(first.value()), repoFolder() / "weights/model.bin");
    EXPECT_EQ(blockingRun(downloader.download()), repoFolder() / "weights/model.bin");
    EXPECT_EQ(hub.fileDownloads(), 1u);
}

TEST_F(SnapshotFileDecisionTest, AnIncompleteHubAnswerFailsWithoutWritingAnything) {
    for (const std::string header : {"X-Repo-Commit", "ETag", "Content-Length"}) {
        fs::remove_all(repoFolder());
        FileBehaviour behaviour;
        behaviour.omitHeaders = {header};
        hub.setBehaviour(repoId, "config.json", behaviour);
        const auto error = environmentErrorOf([&] { snapshot(client(), {"config.json"}); });
        ASSERT_TRUE(error) << header;
        EXPECT_EQ(error->message(), "File metadata must have been retrieved from server") << header;
        EXPECT_FALSE(fs::exists(repoFolder() / "config.json")) << header;
        EXPECT_FALSE(fs::exists(record("config.json"))) << header;
    }
}

TEST_F(SnapshotFileDecisionTest, AnEtagThatWouldBecomeAPathIsRefused) {
    FileBehaviour behaviour;
    behaviour.etag = "../../../../escape";
    hub.setBehaviour(repoId, "config.json", behaviour);
    EXPECT_TRUE(environmentErrorOf([&] { snapshot(client(), {"config.json"}); }));
    EXPECT_FALSE(fs::exists(cache / "escape.incomplete"));
    EXPECT_EQ(hub.fileDownloads(), 0u);
}

TEST_F(SnapshotFileDecisionTest, ARedirectToAnotherHostIsFollowedForTheBytes) {
    FileBehaviour elsewhere;
    elsewhere.redirect = FileBehaviour::Redirect::anotherHost;
    hub.setBehaviour(repoId, "weights/model.bin", elsewhere);
    snapshot(client(), {"weights/*"});
    EXPECT_EQ(readAll(repoFolder() / "weights/model.bin"), readAll(remote / "weights/model.bin"));
}

TEST_F(SnapshotFileDecisionTest, TheSourceNamesTheTypeOnlyForDatasetsAndSpaces) {
    const HubApi api(cache.path(), std::string(""), std::string("http://h:1/base"), false, false);
    HubApi::HubFileDownloader downloader{
        api,          {"O/N", HubApi::RepoType::models}, "refs/pr/1", {}, {}, "sub dir/f.bin",
        std::nullopt, std::string("http://h:1/base"),    false};
    EXPECT_EQ(downloader.source(), "http://h:1/base/O/N/resolve/refs%2Fpr%2F1/sub%20dir/f.bin");
    downloader.repo.type = HubApi::RepoType::datasets;
    EXPECT_EQ(downloader.source(), "http://h:1/base/datasets/O/N/resolve/refs%2Fpr%2F1/sub%20dir/f.bin");
    downloader.endpoint = "";
    EXPECT_TRUE(hubErrorOf([&] { (void)downloader.source(); }));
}

class OfflineSnapshotTest : public SnapshotTest {
protected:
    HubApi offlineClient() const {
        return HubApi(cache.path(), std::string("t"), hub.endpoint(), false, true);
    }
    std::optional<HubApi::EnvironmentError> offlineError(std::vector<std::string> globs = {}) const {
        return environmentErrorOf([&] { snapshot(offlineClient(), std::move(globs)); });
    }
};

TEST_F(OfflineSnapshotTest, ACompleteCacheIsServedWithoutAnyRequest) {
    snapshot(client());
    const auto before = hub.requests().size();
    EXPECT_EQ(snapshot(offlineClient()), repoFolder());
    EXPECT_EQ(snapshot(offlineClient(), {"*.json"}), repoFolder());
    EXPECT_EQ(hub.requests().size(), before);
}

TEST_F(OfflineSnapshotTest, MissingOrIncompleteCachesSayWhatIsMissing) {
    auto error = offlineError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description(), "Offline mode error: Repository not available locally");

    fs::create_directories(repoFolder() / ".cache");
    error = offlineError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), "No files available locally for this repository");

    snapshot(client(), {"*.json"});
    error = offlineError({"weights/*"});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), "No files matching the requested patterns are available locally");

    fs::remove(record("tokenizer.json"));
    error = offlineError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), "Metadata not available for tokenizer.json");
}

TEST_F(OfflineSnapshotTest, ATamperedFileFailsItsHashCheck) {
    snapshot(client());
    writeFile(repoFolder() / "weights/model.bin", "tampered");
    const auto error = offlineError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HubApi::EnvironmentError::Kind::fileIntegrityError);
    EXPECT_EQ(error->description(), "File integrity check failed: Hash mismatch for model.bin");

    // An etag that is no content hash is not checked.
    HubApi::writeDownloadMetadata("c", "ABCDEF", record("weights/model.bin"));
    EXPECT_EQ(snapshot(offlineClient()), repoFolder());
}

TEST_F(OfflineSnapshotTest, ALinkOutOfTheRepositoryIsDroppedByPatternsAndRefusedWithout) {
    snapshot(client());
    TemporaryFolder elsewhere("hub-elsewhere");
    writeFile(elsewhere / "outside.json", "{}");
    fs::create_symlink(elsewhere / "outside.json", repoFolder() / "link.json");

    EXPECT_EQ(snapshot(offlineClient(), {"*.json"}), repoFolder());
    const auto error = offlineError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), "Metadata not available for link.json");
}

TEST_F(OfflineSnapshotTest, WithoutAFlagTheNetworkMonitorDecides) {
    struct Offline : NetworkPathSource {
        void start(std::function<void(NetworkPath)> report) override { report(NetworkPath{false}); }
    };
    ScopedEnvironment environment;
    environment.set("CI_DISABLE_NETWORK_MONITOR", std::nullopt);
    const auto original = NetworkMonitor::shared();
    NetworkMonitor::setShared(std::make_shared<NetworkMonitor>(std::make_unique<Offline>()));
    const HubApi undecided(cache.path(), std::string("t"), hub.endpoint());
    const auto error = environmentErrorOf([&] { snapshot(undecided); });
    const HubApi forcedOnline(cache.path(), std::string("t"), hub.endpoint(), false, false);
    const auto folder = snapshot(forcedOnline);
    NetworkMonitor::setShared(original);

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HubApi::EnvironmentError::Kind::offlineModeError);
    EXPECT_EQ(folder, repoFolder());
}

} // namespace
} // namespace VuzadoDudi::HubTests
