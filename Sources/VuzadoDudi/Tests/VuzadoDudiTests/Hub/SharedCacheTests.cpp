// Downloads of one file by separate processes that share one cache: each process is FetchFromHub, started by
// the test, against the stand-in hub that the test runs.

#include "HubTestSupport.h"

#include "System/Concurrency/SerialQueue.h"
#include "System/Crypto/Sha256.h"
#include "VuzadoDudi/External/Hub/HubFileDownloader.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <spawn.h>
#include <sstream>
#include <sys/file.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace VuzadoDudi::HubTests {
namespace {

namespace fs = std::filesystem;
using HubTesting::FileBehaviour;

// One FetchFromHub process; its standard error goes to a file. Killed if it is still running when the
// object goes.
class FetchProcess {
public:
    FetchProcess(const std::vector<std::string>& arguments, const fs::path& errorFile)
        : errorFile_(errorFile) {
        std::vector<std::string> all{FETCH_FROM_HUB_PROGRAM};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& argument : all) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int failed = posix_spawn(&pid_, argv.front(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) {
            throw std::system_error(failed, std::generic_category(), "Couldn't start FetchFromHub");
        }
    }
    FetchProcess(const FetchProcess&) = delete;
    FetchProcess& operator=(const FetchProcess&) = delete;
    ~FetchProcess() {
        if (!status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }

    // Its exit status and what it wrote to standard error. A process still running after `limit` (a safety
    // net, far beyond what the work takes) is killed and reported so.
    std::pair<int, std::string> result(std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!status_) {
            int status = 0;
            const pid_t ended = waitpid(pid_, &status, WNOHANG);
            if (ended == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                status_ = -1;
                return {-1, "still running after " + std::to_string(limit.count()) + " s"};
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return {*status_, readAll(errorFile_)};
    }

private:
    fs::path errorFile_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Whether one of `processes` waits for a file lock that another process holds: the kernel lists such a wait
// in /proc/locks as "<n>: -> <kind> <mode> <access> <pid> ...".
bool waitsForAFileLock(const std::vector<pid_t>& processes) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, arrow, kind, mode, access;
        pid_t pid = 0;
        if (fields >> number >> arrow >> kind >> mode >> access >> pid && arrow == "->" &&
            std::find(processes.begin(), processes.end(), pid) != processes.end()) {
            return true;
        }
    }
    return false;
}

// The hub holds the first transfer of the file until the other process is surely in its way: until that one
// asks for the file's bytes too, or waits for a file lock. A minute at most, as a safety net.
struct Overlap {
    std::mutex mutex;
    std::condition_variable changed;
    int transfers = 0;
    bool held = false;
    bool holding = false;
    std::vector<pid_t> processes;

    void transferBegins() {
        std::lock_guard lock(mutex);
        ++transfers;
        changed.notify_all();
    }
    void setProcesses(std::vector<pid_t> pids) {
        std::lock_guard lock(mutex);
        processes = std::move(pids);
    }
    // Holds only the first transfer that gets here.
    void holdFirst() {
        std::unique_lock lock(mutex);
        if (std::exchange(held, true)) {
            return;
        }
        holding = true;
        changed.notify_all();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (transfers < 2 && !waitsForAFileLock(processes) &&
               std::chrono::steady_clock::now() < deadline) {
            // /proc/locks tells nobody of a change: look again now and then.
            changed.wait_for(lock, std::chrono::milliseconds(5));
        }
        holding = false;
    }
    // Waits until the first transfer is held; false when it is not within a minute (a safety net).
    bool awaitHolding() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::minutes(1), [this] { return holding; });
    }
};

// Waits until a partial file below `folder` holds `size` bytes; false when none does within a minute (a
// safety net).
bool awaitPartialOfSize(const fs::path& folder, std::uintmax_t size) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
             it.increment(error)) {
            std::error_code sizeError;
            if (it->path().string().ends_with(".incomplete") &&
                fs::file_size(it->path(), sizeError) == size) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

class SharedCacheTest : public HubFixture {};

TEST_F(SharedCacheTest, TwoProcessesFetchingOneFileBothSucceedAndTheHubSendsItOnce) {
    const struct {
        std::string name;
        std::size_t size;
        // Held after its last byte rather than before its first. At exactly one 10 MiB chunk every byte is in
        // the partial file while the transfer is held, so the other would find it complete, ask for the rest,
        // be refused (416) and empty it.
        bool holdTheEnd;
        std::optional<std::string> etag; // the content hash when absent
    } cases[] = {
        {"held before its first byte", 300000, false, std::nullopt},
        {"held after its last byte", 10 * 1024 * 1024, true, std::nullopt},
        // Nothing checks the bytes against an opaque etag: an emptied partial file would be taken for the
        // file.
        {"held after its last byte, opaque etag", 10 * 1024 * 1024, true, "v1"},
    };
    for (const auto& c : cases) {
        std::string bytes(c.size, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>((i * 7 + i / 4096) % 251);
        }
        addRemoteFile("model.bin", bytes);
        const auto overlap = std::make_shared<Overlap>();
        FileBehaviour behaviour;
        behaviour.etag = c.etag;
        if (c.holdTheEnd) {
            behaviour.onGet = [overlap] { overlap->transferBegins(); };
            behaviour.beforeEnd = [overlap] { overlap->holdFirst(); };
        } else {
            behaviour.onGet = [overlap] {
                overlap->transferBegins();
                overlap->holdFirst();
            };
        }
        hub.setBehaviour(repoId, "model.bin", behaviour);
        const TemporaryFolder sharedCache("hub-shared-cache");
        const TemporaryFolder logs("hub-fetch-logs");
        const auto transfersBefore = hub.fileDownloads();

        const std::vector<std::string> arguments{hub.endpoint(), sharedCache.path().string(), repoId,
                                                 "model.bin"};
        // The second starts once the first's transfer is held (and, held at its end, has written every byte).
        FetchProcess first(arguments, logs / "first");
        ASSERT_TRUE(overlap->awaitHolding()) << c.name;
        if (c.holdTheEnd) {
            ASSERT_TRUE(awaitPartialOfSize(sharedCache.path(), c.size)) << c.name;
        }
        FetchProcess second(arguments, logs / "second");
        overlap->setProcesses({second.pid()});

        for (auto* process : {&first, &second}) {
            const auto [status, errors] = process->result(std::chrono::seconds(120));
            EXPECT_EQ(status, 0) << c.name << ": " << errors;
        }
        const fs::path repoFolder = sharedCache / "models" / "owner" / "model";
        EXPECT_EQ(System::Crypto::Sha256::hexDigest(readAll(repoFolder / "model.bin")),
                  System::Crypto::Sha256::hexDigest(bytes))
            << c.name;
        EXPECT_EQ(hub.fileDownloads() - transfersBefore, 1u) << c.name; // the later found the file current
        for (const auto& entry : fs::recursive_directory_iterator(repoFolder)) {
            EXPECT_FALSE(entry.path().string().ends_with(".incomplete")) << c.name << ": " << entry.path();
        }
    }
}

// A download waiting for another process's download of the same file can be cancelled. The lock it waited
// for is let go as soon as it comes, so later downloads are not shut out.
TEST_F(SharedCacheTest, ADownloadWaitingForAnotherProcessCanBeCancelled) {
    addRemoteFile("model.bin", "weights");
    const fs::path repoFolder = cache / "models" / "owner" / "model";
    const HubApi::HubFileDownloader downloader{client(),
                                               repo,
                                               "main",
                                               repoFolder,
                                               repoFolder / ".cache/modelhub/download",
                                               "model.bin",
                                               std::string("secret-token"),
                                               hub.endpoint(),
                                               false};
    // What another process downloading the file holds.
    fs::create_directories(downloader.lockPath().parent_path());
    const int other = open(downloader.lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX), 0);
    System::Concurrency::SerialQueue queue("hub-test-waiting");

    const auto waiting = System::Concurrency::spawn(queue, downloader.download());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1); // a safety net
    while (!waitsForAFileLock({getpid()}) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    waiting.cancel();

    EXPECT_THROW(blockingRun(waiting.value()), System::Concurrency::CancellationError);
    EXPECT_EQ(hub.fileDownloads(), 0u);
    close(other);
    EXPECT_EQ(blockingRun(downloader.download()), repoFolder / "model.bin");
    EXPECT_EQ(readAll(repoFolder / "model.bin"), "weights");
    EXPECT_EQ(hub.fileDownloads(), 1u);
}

} // namespace
} // namespace VuzadoDudi::HubTests
