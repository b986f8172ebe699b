#include "HubTestSupport.h"

#include "System/Crypto/Sha256.h"
#include "System/Net/NetErrors.h"
#include "VuzadoDudi/External/Hub/Downloader.h"

namespace VuzadoDudi::HubTests {
namespace {

namespace fs = std::filesystem;
using HubTesting::FileBehaviour;
using State = Downloader::DownloadState;
using System::Concurrency::Duration;
using System::Concurrency::Task;

constexpr std::size_t kChunk = 64 * 1024;

std::string patternedBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<char>(x >> 24);
    }
    return bytes;
}

// Reads a download's states up to and including the first final one.
Task<std::vector<State>> statesUntilFinal(Downloader::StateStream stream) {
    std::vector<State> states;
    while (auto state = co_await stream.next()) {
        states.push_back(*state);
        if (state->kind == State::Kind::completed || state->kind == State::Kind::failed) {
            break;
        }
    }
    co_return states;
}

class DownloaderTest : public HubFixture {
protected:
    DownloaderTest() {
        body = patternedBytes(1024 * 1024 + 123, 7);
        addRemoteFile("model.bin", body);
        fs::create_directories(partial.parent_path());
    }

    std::shared_ptr<Downloader> downloader(std::size_t chunk = kChunk) const {
        return std::make_shared<Downloader>(destination, partial, false, chunk, Duration::zero());
    }

    std::vector<State> run(const std::shared_ptr<Downloader>& engine, std::optional<std::int64_t> expected,
                           int retries = 5, std::optional<std::string> token = std::nullopt,
                           System::Net::HttpHeaders headers = {},
                           std::optional<std::string> expectedSha256 = std::nullopt) {
        if (!fs::exists(partial)) {
            writeFile(partial, "");
        }
        return blockingRun([&]() -> Task<std::vector<State>> {
            auto stream =
                co_await engine->download(resolveUrl("model.bin"), token, headers, expected,
                                          Duration::seconds(std::int64_t{30}), retries, expectedSha256);
            co_return co_await statesUntilFinal(std::move(stream));
        }());
    }

    std::int64_t size() const { return static_cast<std::int64_t>(body.size()); }

    std::vector<std::string> rangesAsked() const {
        std::vector<std::string> ranges;
        for (const auto& request : hub.requests("GET")) {
            ranges.push_back(request.header("Range").value_or("none"));
        }
        return ranges;
    }

    std::string body;
    const fs::path destination = cache / "final" / "model.bin";
    const fs::path partial = cache / "partial" / "model.bin.etag.incomplete";
};

std::exception_ptr failureOf(const std::vector<State>& states) {
    return !states.empty() && states.back().kind == State::Kind::failed ? states.back().error : nullptr;
}

TEST_F(DownloaderTest, ACutTransferResumesFromWhatWasWrittenToTheRightBytes) {
    FileBehaviour cuts;
    cuts.cuts = {200000, 300000, 150000, 10};
    hub.setBehaviour(repoId, "model.bin", cuts);

    const auto states = run(downloader(), size());

    ASSERT_EQ(states.back().kind, State::Kind::completed) << System::Log::errorDescription(failureOf(states));
    EXPECT_EQ(states.back().location, destination);
    EXPECT_EQ(System::Crypto::Sha256::hexDigest(readAll(destination)),
              System::Crypto::Sha256::hexDigest(body));
    EXPECT_FALSE(fs::exists(partial));
    const auto ranges = rangesAsked();
    ASSERT_EQ(ranges.size(), 5u);
    EXPECT_EQ(ranges[0], "none");
    std::int64_t previous = 0;
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        const auto offset = std::stoll(ranges[i].substr(6));
        EXPECT_GE(offset, previous) << ranges[i]; // a resume never goes back before what was written
        EXPECT_LE(offset, size());
        previous = offset;
    }
    EXPECT_GT(previous, 0);
    // The states: a start, progress that only grows, then the end.
    EXPECT_EQ(states.front().kind, State::Kind::notStarted);
    double fraction = 0;
    for (const auto& state : states) {
        if (state.kind == State::Kind::downloading) {
            EXPECT_GE(state.fraction, fraction);
            fraction = state.fraction;
        }
    }
}

TEST_F(DownloaderTest, AResumeAsksForTheRestAndReportsWhereItStarts) {
    writeFile(partial, body.substr(0, 262144));

    const auto states = run(downloader(), size());

    ASSERT_EQ(states.back().kind, State::Kind::completed);
    EXPECT_EQ(readAll(destination), body);
    EXPECT_EQ(rangesAsked(), std::vector<std::string>{"bytes=262144-"});
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[1].kind, State::Kind::downloading);
    EXPECT_DOUBLE_EQ(states[1].fraction, 262144.0 / static_cast<double>(size()));
    EXPECT_FALSE(states[1].rate);
}

// Answers that make the partial file useless: it is dropped and the file fetched whole, never appended to.
TEST_F(DownloaderTest, APartialFileTheServerCannotContinueIsStartedOver) {
    const struct {
        std::string name;
        std::string partialBytes;
        FileBehaviour behaviour;
        std::vector<std::string> ranges;
    } cases[] = {
        {"range ignored",
         "garbage!",
         [] {
             FileBehaviour b;
             b.ignoreRange = true;
             return b;
         }(),
         {"bytes=8-"}},
        {"range refused",
         "garbage!",
         [] {
             FileBehaviour b;
             b.refuseRanges = true;
             return b;
         }(),
         {"bytes=8-", "none"}},
        {"partial already whole",
         std::string(body.size(), 'x'),
         {},
         {"bytes=" + std::to_string(body.size()) + "-", "none"}},
        {"partial larger than the file", std::string(body.size() + 5, 'x'), {}, {"none"}},
    };
    for (const auto& c : cases) {
        HubTesting::StandInHub fresh;
        fresh.serve(repoId, remote.path());
        fresh.setBehaviour(repoId, "model.bin", c.behaviour);
        writeFile(partial, c.partialBytes);
        fs::remove(destination);
        auto engine = downloader();
        const auto states = blockingRun([&]() -> Task<std::vector<State>> {
            auto stream =
                co_await engine->download(fresh.endpoint() + "/" + repoId + "/resolve/main/model.bin",
                                          std::nullopt, {}, size(), Duration::seconds(std::int64_t{30}), 5);
            co_return co_await statesUntilFinal(std::move(stream));
        }());
        ASSERT_EQ(states.back().kind, State::Kind::completed)
            << c.name << ": " << System::Log::errorDescription(failureOf(states));
        EXPECT_EQ(readAll(destination), body) << c.name;
        std::vector<std::string> ranges;
        for (const auto& request : fresh.requests("GET")) {
            ranges.push_back(request.header("Range").value_or("none"));
        }
        EXPECT_EQ(ranges, c.ranges) << c.name;
    }
}

// If-Range has a meaning only beside a Range, so a request for the whole file goes without it.
TEST_F(DownloaderTest, AnIfRangeValidatorGoesOnlyWithARange) {
    FileBehaviour cut;
    cut.cuts = {kChunk + 1000};
    hub.setBehaviour(repoId, "model.bin", cut);
    const std::string validator = "\"" + System::Crypto::Sha256::hexDigest(body) + "\"";

    const auto states = run(downloader(), size(), 5, std::nullopt, {{"If-Range", validator}});

    ASSERT_EQ(states.back().kind, State::Kind::completed) << System::Log::errorDescription(failureOf(states));
    const auto gets = hub.requests("GET");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[0].headerCount("Range"), 0u);
    EXPECT_EQ(gets[0].headerCount("If-Range"), 0u);
    EXPECT_EQ(gets[1].header("Range"), "bytes=" + std::to_string(kChunk) + "-");
    EXPECT_EQ(gets[1].header("If-Range"), validator);
    EXPECT_EQ(readAll(destination), body);
}

// The digest is checked before the move, so bytes that are not the announced version never replace anything.
TEST_F(DownloaderTest, AFinishedFileIsMovedOnlyWhenItHasTheExpectedDigest) {
    const struct {
        std::string name;
        std::string digest;
        bool completes;
    } cases[] = {
        {"digest of the bytes", System::Crypto::Sha256::hexDigest(body), true},
        {"digest of another version", System::Crypto::Sha256::hexDigest(body + "!"), false},
    };
    for (const auto& c : cases) {
        fs::create_directories(destination.parent_path());
        writeFile(destination, "old");

        const auto states = run(downloader(), size(), 5, std::nullopt, {}, c.digest);

        EXPECT_FALSE(fs::exists(partial)) << c.name;
        if (c.completes) {
            ASSERT_EQ(states.back().kind, State::Kind::completed) << c.name;
            EXPECT_TRUE(readAll(destination) == body) << c.name;
            continue;
        }
        ASSERT_TRUE(failureOf(states)) << c.name;
        try {
            std::rethrow_exception(failureOf(states));
        } catch (const HubApi::EnvironmentError& error) {
            EXPECT_EQ(error.kind(), HubApi::EnvironmentError::Kind::fileIntegrityError) << c.name;
            EXPECT_NE(error.description().find("model.bin"), std::string::npos) << error.description();
        }
        EXPECT_EQ(readAll(destination), "old") << c.name;
    }
}

TEST_F(DownloaderTest, RetriesRunOutOnATransferThatKeepsBreakingOff) {
    FileBehaviour cuts;
    cuts.cuts = {1000, 1000, 1000, 1000, 1000};
    hub.setBehaviour(repoId, "model.bin", cuts);

    const auto states = run(downloader(kChunk * 64), size(), 2);

    ASSERT_TRUE(failureOf(states));
    EXPECT_THROW(std::rethrow_exception(failureOf(states)), System::Net::TransportError);
    EXPECT_EQ(hub.fileDownloads(), 3u); // the first attempt and two retries
    EXPECT_TRUE(fs::exists(partial));
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(DownloaderTest, AWrongFinalLengthFailsAndDropsThePartialFile) {
    const auto states = run(downloader(), size() + 1);
    ASSERT_TRUE(failureOf(states));
    try {
        std::rethrow_exception(failureOf(states));
    } catch (const Downloader::DownloadError& error) {
        EXPECT_EQ(error.kind(), Downloader::DownloadError::Kind::unexpectedError);
    }
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_FALSE(fs::exists(destination));
}

TEST_F(DownloaderTest, ARefusalFailsAtOnceWithoutRetrying) {
    FileBehaviour refused;
    refused.refuseWith = 404;
    hub.setBehaviour(repoId, "model.bin", refused);
    writeFile(partial, "kept");

    const auto states = run(downloader(), size());

    ASSERT_TRUE(failureOf(states));
    EXPECT_THROW(std::rethrow_exception(failureOf(states)), Downloader::DownloadError);
    EXPECT_EQ(hub.fileDownloads(), 1u);
    EXPECT_EQ(readAll(partial), "kept");
}

TEST_F(DownloaderTest, TheTokenIsSentOnlyWhenThereIsOne) {
    run(downloader(), size(), 5, std::string(""));
    run(downloader(), size(), 5, std::string("tok"));
    const auto gets = hub.requests("GET");
    ASSERT_EQ(gets.size(), 2u);
    EXPECT_EQ(gets[0].headerCount("Authorization"), 0u);
    EXPECT_EQ(gets[1].header("Authorization"), "Bearer tok");
}

TEST_F(DownloaderTest, AnExistingDestinationIsReplaced) {
    fs::create_directories(destination.parent_path());
    writeFile(destination, "old");
    const auto states = run(downloader(), size());
    ASSERT_EQ(states.back().kind, State::Kind::completed);
    EXPECT_EQ(readAll(destination), body);
}

// A move that cannot happen leaves the old file where it was and the new bytes in the partial file.
TEST_F(DownloaderTest, AFailedMoveKeepsTheOldFile) {
    fs::create_directories(destination);
    writeFile(destination / "inside", "old");
    const auto states = run(downloader(), size());
    ASSERT_TRUE(failureOf(states));
    EXPECT_EQ(readAll(destination / "inside"), "old");
    EXPECT_EQ(readAll(partial), body);
}

TEST_F(DownloaderTest, CancellingKeepsThePartialFileAndALaterDownloadResumesIt) {
    const auto gate = std::make_shared<System::Net::Testing::Gate>();
    const std::string slowBody = body;
    hub.server().on("GET", "/slow", [gate, slowBody](const httplib::Request&, httplib::Response& response) {
        response.status = 200;
        response.set_content_provider(
            slowBody.size(), "application/octet-stream",
            [gate, slowBody](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                if (offset >= 3 * kChunk) {
                    gate->wait();
                    return false;
                }
                return sink.write(slowBody.data() + offset, kChunk);
            });
    });
    writeFile(partial, "");
    auto engine = downloader();
    const auto states = blockingRun([&]() -> Task<std::vector<State>> {
        auto stream = co_await engine->download(hub.endpoint() + "/slow", std::nullopt, {}, size(),
                                                Duration::seconds(std::int64_t{30}), 5);
        // Two failures: the one cancel() publishes, then the transfer's own once it has let go of the file.
        std::vector<State> seen;
        int failures = 0;
        bool cancelled = false;
        while (auto state = co_await stream.next()) {
            seen.push_back(*state);
            if (state->kind == State::Kind::downloading && state->fraction > 0 && !cancelled) {
                cancelled = true;
                engine->cancel();
            }
            failures += state->kind == State::Kind::failed ? 1 : 0;
            if (failures == 2 || state->kind == State::Kind::completed) {
                break;
            }
        }
        co_return seen;
    }());
    gate->open();

    ASSERT_TRUE(failureOf(states));
    EXPECT_THROW(std::rethrow_exception(failureOf(states)), System::Concurrency::CancellationError);
    const auto kept = Downloader::incompleteFileSize(partial);
    EXPECT_GE(kept, static_cast<std::int64_t>(kChunk));
    EXPECT_EQ(readAll(partial), body.substr(0, static_cast<std::size_t>(kept)));

    const auto resumed = run(downloader(), size());
    ASSERT_EQ(resumed.back().kind, State::Kind::completed);
    EXPECT_EQ(readAll(destination), body);
    EXPECT_EQ(rangesAsked().back(), "bytes=" + std::to_string(kept) + "-");
}

TEST_F(DownloaderTest, ProgressIsReportedPerChunkOnlyWhenTheSizeIsKnown) {
    const auto known = run(downloader(256 * 1024), size());
    const auto unknown = run(downloader(256 * 1024), std::nullopt);
    const auto progress = [](const std::vector<State>& states) {
        return std::count_if(states.begin(), states.end(),
                             [](const State& s) { return s.kind == State::Kind::downloading; });
    };
    EXPECT_EQ(progress(known), 1 + 4); // the start and one per full chunk
    EXPECT_EQ(progress(unknown), 1);
    EXPECT_EQ(unknown.back().kind, State::Kind::completed);
}

} // namespace
} // namespace VuzadoDudi::HubTests
