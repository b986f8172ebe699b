#include "VuzadoDudi/External/Hub/HubFileDownloader.h"

#include "System/Concurrency/WorkerThreads.h"
#include "System/Net/Url.h"
#include "System/Paths/Files.h"
#include "VuzadoDudi/External/Hub/Downloader.h"
#include "VuzadoDudi/Logging.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

namespace fs = std::filesystem;
using System::Concurrency::Task;
using VuzadoDudi::Hub::HubClientError;

namespace VuzadoDudi {

namespace {

constexpr std::size_t kChunkSize = 10 * 1024 * 1024;
const auto kTransferTimeout = System::Concurrency::Duration::seconds(std::int64_t{10});
constexpr int kRetries = 5;

// Downloads of one destination take turns in this process: two at once would write one partial file, and the
// later would find the earlier's finished file moved away from under it. The one that waited then finds the
// file current and fetches nothing.
class DestinationTurns {
public:
    static DestinationTurns& shared() {
        static DestinationTurns turns;
        return turns;
    }

    // Waits until no other download of `key` runs; cancelling the waiting task ends the wait with
    // CancellationError. Every wait that returns must be followed by one `release`.
    Task<void> acquire(std::string key) {
        auto waiter = std::make_shared<Waiter>();
        auto cancellation = co_await System::Concurrency::currentCancellation();
        struct Registration {
            std::shared_ptr<System::Concurrency::CancellationState> cancellation;
            System::Concurrency::CancellationState::CallbackId id;
            ~Registration() { cancellation->removeCallback(id); }
        } registration{cancellation,
                       cancellation->onCancel([this, key, waiter] { stopWaiting(key, waiter); })};
        co_await System::Concurrency::withContinuation<void>(
            [this, &key, waiter](System::Concurrency::Continuation<void> continuation) {
                std::unique_lock lock(mutex_);
                if (waiter->cancelled) {
                    lock.unlock();
                    continuation.resumeThrowing(
                        std::make_exception_ptr(System::Concurrency::CancellationError()));
                    return;
                }
                auto [turn, isFree] = turns_.try_emplace(key);
                if (isFree) {
                    lock.unlock();
                    continuation.resume();
                    return;
                }
                waiter->continuation.emplace(std::move(continuation));
                turn->second.push_back(waiter);
            });
    }

    // Hands the turn to the longest waiting download, if any.
    void release(const std::string& key) {
        std::optional<System::Concurrency::Continuation<void>> next;
        {
            std::lock_guard lock(mutex_);
            const auto turn = turns_.find(key);
            if (turn == turns_.end()) {
                return;
            }
            if (turn->second.empty()) {
                turns_.erase(turn);
            } else {
                next = turn->second.front()->continuation;
                turn->second.pop_front();
            }
        }
        if (next) {
            next->resume();
        }
    }

private:
    struct Waiter {
        std::optional<System::Concurrency::Continuation<void>> continuation; // while it waits in a queue
        bool cancelled = false;
    };

    void stopWaiting(const std::string& key, const std::shared_ptr<Waiter>& waiter) {
        std::optional<System::Concurrency::Continuation<void>> stopped;
        {
            std::lock_guard lock(mutex_);
            waiter->cancelled = true;
            if (const auto turn = turns_.find(key); turn != turns_.end()) {
                auto& queue = turn->second;
                if (const auto found = std::find(queue.begin(), queue.end(), waiter); found != queue.end()) {
                    queue.erase(found);
                    stopped = waiter->continuation;
                }
            }
        }
        if (stopped) {
            stopped->resumeThrowing(std::make_exception_ptr(System::Concurrency::CancellationError()));
        }
    }

    std::mutex mutex_;
    // A key is present while a download of it runs; its queue holds the downloads waiting for their turn.
    std::map<std::string, std::deque<std::shared_ptr<Waiter>>> turns_;
};

// Downloads of one destination by processes that share the cache take turns too: each holds an exclusive
// lock on a file beside the partial ones for its whole download, so that no process writes, empties or moves
// the partial file while another transfers into it, and the one that waited finds the file current. The
// lock file stays: removing it would let a newcomer lock a fresh file while another process still waits on
// the old one. Where no lock can be had (a read-only cache, a file system without locks) the download goes
// on without one, as before: one that writes nothing needs none, and one that must write fails on its own.
class ProcessLock {
public:
    ProcessLock() = default;
    explicit ProcessLock(int fd)
        : fd_(fd) {}
    ProcessLock(ProcessLock&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)) {}
    ProcessLock& operator=(ProcessLock&&) = delete;
    ~ProcessLock() {
        if (fd_ >= 0) {
            close(fd_); // lets the lock go
        }
    }

    // Waits until no other process holds the lock of `file`, on a worker thread, so that no executor is held
    // up meanwhile. Cancelling the waiting task ends the wait with CancellationError; the worker lets the
    // lock go as soon as it gets it.
    static Task<ProcessLock> acquire(fs::path file) {
        std::error_code ignored;
        fs::create_directories(file.parent_path(), ignored);
        const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            co_return withoutLock(file, errno, -1);
        }
        if (lock(fd, LOCK_NB) == 0) {
            co_return ProcessLock(fd);
        }
        if (errno != EWOULDBLOCK) {
            co_return withoutLock(file, errno, fd);
        }

        struct Wait {
            std::mutex mutex;
            std::optional<System::Concurrency::Continuation<int>> continuation;
            bool over = false; // granted, failed or abandoned
        };
        const auto wait = std::make_shared<Wait>();
        const auto abandon = [wait] {
            std::optional<System::Concurrency::Continuation<int>> waiting;
            {
                std::lock_guard guard(wait->mutex);
                if (std::exchange(wait->over, true)) {
                    return;
                }
                waiting = wait->continuation;
            }
            if (waiting) {
                waiting->resumeThrowing(std::make_exception_ptr(System::Concurrency::CancellationError()));
            }
        };
        auto cancellation = co_await System::Concurrency::currentCancellation();
        struct Registration {
            std::shared_ptr<System::Concurrency::CancellationState> cancellation;
            System::Concurrency::CancellationState::CallbackId id;
            ~Registration() { cancellation->removeCallback(id); }
        } registration{cancellation, cancellation->onCancel(abandon)};
        try {
            const int error = co_await System::Concurrency::withContinuation<int>(
                [wait, fd](System::Concurrency::Continuation<int> continuation) {
                    {
                        std::lock_guard guard(wait->mutex);
                        if (wait->over) {
                            continuation.resumeThrowing(
                                std::make_exception_ptr(System::Concurrency::CancellationError()));
                            return;
                        }
                        wait->continuation.emplace(continuation);
                    }
                    System::Concurrency::runOnWorkerThread([wait, fd] {
                        const int error = lock(fd, 0) == 0 ? 0 : errno;
                        std::lock_guard guard(wait->mutex);
                        if (std::exchange(wait->over, true)) {
                            close(fd); // nobody waits for it any more
                            return;
                        }
                        wait->continuation->resume(error);
                    });
                });
            if (error != 0) {
                co_return withoutLock(file, error, fd);
            }
        } catch (const System::Concurrency::CancellationError&) {
            // Either the worker has the descriptor and closes it once it gets the lock, or it never started.
            std::lock_guard guard(wait->mutex);
            if (!wait->continuation) {
                close(fd);
            }
            throw;
        }
        co_return ProcessLock(fd);
    }

private:
    static ProcessLock withoutLock(const fs::path& file, int error, int fd) {
        Logging::debug("Downloading without the lock " + file.string() + ": " + std::strerror(error));
        if (fd >= 0) {
            close(fd);
        }
        return ProcessLock();
    }

    static int lock(int fd, int flags) {
        int result;
        do {
            result = flock(fd, LOCK_EX | flags);
        } while (result != 0 && errno == EINTR);
        return result;
    }

    int fd_ = -1;
};

} // namespace

std::string HubApi::HubFileDownloader::source() const {
    const std::string base = endpoint.value_or(HubApi::defaultEndpoint());
    std::string path;
    if (repo.type != RepoType::models) {
        path = std::string(rawValue(repo.type)) + "/";
    }
    path += encodedPath(repo.id) + "/resolve/" + System::Net::percentEncode(revision) + "/" +
            encodedPath(relativeFilename);
    const auto url = System::Net::appendingPath(base, path);
    if (!url) {
        throw HubClientError::downloadError("the hub address \"" + base + "\" is not an absolute URL");
    }
    return *url;
}

fs::path HubApi::HubFileDownloader::destination() const {
    return repoDestination / relativeFilename;
}

fs::path HubApi::HubFileDownloader::metadataPath() const {
    return repoMetadataDestination / (relativeFilename + ".metadata");
}

fs::path HubApi::HubFileDownloader::incompletePath(const std::string& etag) const {
    return repoMetadataDestination / (relativeFilename + "." + etag + ".incomplete");
}

fs::path HubApi::HubFileDownloader::lockPath() const {
    return repoMetadataDestination / (relativeFilename + ".lock");
}

void HubApi::HubFileDownloader::prepareCacheDestination(const fs::path& incompleteFile) {
    fs::create_directories(incompleteFile.parent_path());
    if (!fs::exists(incompleteFile)) {
        System::Paths::writeFileAtomically(incompleteFile, "", 0644);
    }
}

Task<fs::path> HubApi::HubFileDownloader::download(ProgressHandler progressHandler) const {
    // The name and the etag become paths: neither may lead out of the repository folder.
    HubApi::checkRelativeName(relativeFilename);
    const std::string turnKey = fs::absolute(destination()).lexically_normal().string();
    co_await DestinationTurns::shared().acquire(turnKey);
    struct Turn {
        std::string key;
        ~Turn() { DestinationTurns::shared().release(key); }
    } turn{turnKey};
    const auto processLock = co_await ProcessLock::acquire(lockPath());
    co_return co_await downloadInTurn(std::move(progressHandler));
}

Task<fs::path> HubApi::HubFileDownloader::downloadInTurn(ProgressHandler progressHandler) const {
    const auto local = HubApi::readDownloadMetadata(metadataPath());
    const auto remote = co_await hub.getFileMetadata(source());
    const fs::path destination = this->destination();

    const std::string remoteCommit = remote.commitHash.value_or("");
    if (HubApi::isCommitHash(remoteCommit) && fs::exists(destination) && local &&
        local->commitHash == remoteCommit) {
        co_return destination;
    }
    if (!remote.commitHash || !remote.etag || !remote.size || remote.location.empty()) {
        throw EnvironmentError::invalidMetadataError("File metadata must have been retrieved from server");
    }
    const std::string& etag = *remote.etag;
    HubApi::checkEtag(etag, relativeFilename);

    if (fs::exists(destination)) {
        if ((local && local->etag == etag) ||
            (HubApi::isSha256(etag) && HubApi::computeFileHash(destination) == etag)) {
            HubApi::writeDownloadMetadata(*remote.commitHash, etag, metadataPath());
            co_return destination;
        }
    }

    const fs::path incomplete = incompletePath(etag);
    prepareCacheDestination(incomplete);
    auto downloader = std::make_shared<Downloader>(destination, incomplete, backgroundSession, kChunkSize);

    auto cancellation = co_await System::Concurrency::currentCancellation();
    struct CancelRegistration {
        std::shared_ptr<System::Concurrency::CancellationState> cancellation;
        System::Concurrency::CancellationState::CallbackId id = 0;
        ~CancelRegistration() { cancellation->removeCallback(id); }
    } registration{cancellation, cancellation->onCancel([downloader] { downloader->cancel(); })};

    co_await System::Concurrency::checkCancellation();
    // The partial file is named by the etag, so its bytes are of that version: a resume asks for the rest of
    // that version only, and a content-hash etag is checked before the file takes its place.
    auto states = co_await downloader->download(source(), hubToken, {{"If-Range", "\"" + etag + "\""}},
                                                remote.size, kTransferTimeout, kRetries,
                                                HubApi::isSha256(etag) ? std::optional(etag) : std::nullopt);
    while (true) {
        const auto state = co_await states.next();
        if (!state) {
            downloader->cancel(); // the task was cancelled while it waited
            throw System::Concurrency::CancellationError();
        }
        if (state->kind == Downloader::DownloadState::Kind::downloading) {
            if (progressHandler) {
                progressHandler(state->fraction, state->rate);
            }
        } else if (state->kind == Downloader::DownloadState::Kind::completed) {
            break;
        } else if (state->kind == Downloader::DownloadState::Kind::failed) {
            std::rethrow_exception(state->error);
        }
    }
    HubApi::writeDownloadMetadata(*remote.commitHash, etag, metadataPath());
    co_return destination;
}

} // namespace VuzadoDudi
