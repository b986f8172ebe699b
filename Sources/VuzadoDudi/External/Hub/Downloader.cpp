#include "VuzadoDudi/External/Hub/Downloader.h"

#include "System/Net/HttpClient.h"
#include "VuzadoDudi/External/Hub/HubApi.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;
using System::Concurrency::Duration;
using System::Concurrency::Task;
using System::Net::HttpRequest;
using System::Net::HttpResponse;

namespace VuzadoDudi {

namespace {

[[noreturn]] void throwErrno(const std::string& what, const fs::path& path) {
    throw std::system_error(errno, std::generic_category(), what + " " + path.string());
}

void writeAt(int fd, std::string_view bytes, std::int64_t offset, const fs::path& path) {
    while (!bytes.empty()) {
        const ssize_t written = pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            throwErrno("Couldn't write to", path);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
}

std::string describeKind(Downloader::DownloadError::Kind kind) {
    switch (kind) {
    case Downloader::DownloadError::Kind::invalidDownloadLocation:
        return "The download location is not valid.";
    case Downloader::DownloadError::Kind::tempFileNotFound:
        return "The downloaded temporary file was not found.";
    case Downloader::DownloadError::Kind::unexpectedError:
        break;
    }
    return "The download failed unexpectedly.";
}

} // namespace

Downloader::DownloadError::DownloadError(Kind kind)
    : DescribedError(describeKind(kind))
    , kind_(kind) {}

// One transfer: its arguments, the partial file, and the byte counts that the network thread advances while a
// request runs and the transfer task reads between requests.
struct Downloader::Transfer {
    std::string url;
    std::optional<std::string> token;
    System::Net::HttpHeaders headers;
    std::optional<std::int64_t> expectedSize;
    std::optional<std::string> expectedSha256;
    Duration timeout;
    int numRetries = 0;
    int fd = -1;
    std::int64_t downloadedSize = 0;

    ~Transfer() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

Downloader::Downloader(fs::path destination, fs::path incompleteDestination, bool inBackground,
                       std::size_t chunkSize, Duration retryDelay)
    : destination_(std::move(destination))
    , incompleteDestination_(std::move(incompleteDestination))
    , inBackground_(inBackground)
    , chunkSize_(std::max<std::size_t>(chunkSize, 1))
    , retryDelay_(retryDelay)
    , broadcaster_([] { return std::optional<DownloadState>(DownloadState::notStarted()); }) {}

std::int64_t Downloader::incompleteFileSize(const fs::path& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return 0;
    }
    return static_cast<std::int64_t>(info.st_size);
}

Task<Downloader::StateStream> Downloader::download(std::string url, std::optional<std::string> token,
                                                   System::Net::HttpHeaders headers,
                                                   std::optional<std::int64_t> expectedSize, Duration timeout,
                                                   int numRetries,
                                                   std::optional<std::string> expectedSha256) {
    auto transfer = std::make_shared<Transfer>();
    transfer->url = std::move(url);
    transfer->token = std::move(token);
    transfer->headers = std::move(headers);
    transfer->expectedSize = expectedSize;
    transfer->expectedSha256 = std::move(expectedSha256);
    transfer->timeout = timeout;
    transfer->numRetries = numRetries;
    auto stream = broadcaster_.subscribe();
    {
        std::lock_guard lock(mutex_);
        task_.cancel();
        struct Runner {
            static Task<void> run(std::shared_ptr<Downloader> self, std::shared_ptr<Transfer> transfer) {
                co_await self->setUpDownload(std::move(transfer));
            }
        };
        task_ = spawn(HubApi::backgroundExecutor(), Runner::run(shared_from_this(), std::move(transfer)));
    }
    co_return std::move(stream);
}

void Downloader::cancel() {
    System::Concurrency::TaskHandle<void> task;
    {
        std::lock_guard lock(mutex_);
        task = task_;
    }
    task.cancel();
    broadcaster_.broadcast(
        DownloadState::failed(std::make_exception_ptr(System::Concurrency::CancellationError())));
}

Task<void> Downloader::setUpDownload(std::shared_ptr<Transfer> transfer) {
    std::exception_ptr failure;
    try {
        std::int64_t resumeSize = incompleteFileSize(incompleteDestination_);
        transfer->fd = open(incompleteDestination_.c_str(), O_WRONLY | O_CLOEXEC);
        if (transfer->fd < 0) {
            throwErrno("Couldn't open the partial download", incompleteDestination_);
        }
        const auto expected = transfer->expectedSize;
        if (expected && resumeSize > *expected) {
            // More than the whole file: these bytes cannot be a prefix of it, so start afresh.
            if (ftruncate(transfer->fd, 0) != 0) {
                throwErrno("Couldn't empty the partial download", incompleteDestination_);
            }
            resumeSize = 0;
        }
        transfer->downloadedSize = resumeSize;
        const double fraction = expected && *expected >= 1
                                    ? static_cast<double>(resumeSize) / static_cast<double>(*expected)
                                    : 0.0;
        broadcaster_.broadcast(DownloadState::downloading(fraction, std::nullopt));

        co_await fetch(transfer);
        co_await System::Concurrency::checkCancellation();

        // One rename replaces the old file, so a failure leaves the old one in place, never nothing.
        fs::create_directories(destination_.parent_path());
        fs::rename(incompleteDestination_, destination_);
        broadcaster_.broadcast(DownloadState::completed(destination_));
    } catch (...) {
        failure = std::current_exception();
    }
    if (transfer->fd >= 0) {
        close(transfer->fd);
        transfer->fd = -1;
    }
    if (failure) {
        broadcaster_.broadcast(DownloadState::failed(failure));
    }
}

Task<void> Downloader::fetch(std::shared_ptr<Transfer> transfer) {
    // What one request saw. The network thread fills it while the request runs; the task reads it afterwards.
    struct Attempt {
        int status = 0;
        bool headSeen = false;
        std::string buffer;
        std::int64_t lastReported = 0;
        std::chrono::steady_clock::time_point reportTime = std::chrono::steady_clock::now();
        int retriesLeft = 0;
        std::exception_ptr localFailure; // a file error, or an answer that cannot be used
    };
    int retriesLeft = transfer->numRetries;
    bool restarted = false;
    const auto expected = transfer->expectedSize;
    const auto authorization = HubApi::authorization(transfer->token);

    while (true) {
        const std::int64_t offset = transfer->downloadedSize;
        HttpRequest request;
        request.url = transfer->url;
        request.timeout = transfer->timeout;
        for (const auto& [name, value] : transfer->headers) {
            // The validator names the version the partial bytes belong to, so that a server holding another
            // version sends that one whole (200) instead of its tail; a whole-file request needs none.
            if (offset > 0 || !System::Net::sameHeaderName(name, "If-Range")) {
                request.setHeader(name, value);
            }
        }
        if (authorization) {
            request.setHeader("Authorization", *authorization);
        }
        if (offset > 0) {
            request.setHeader("Range", "bytes=" + std::to_string(offset) + "-");
        }
        auto attempt = std::make_shared<Attempt>();
        attempt->buffer.reserve(chunkSize_);
        attempt->lastReported = offset;
        attempt->retriesLeft = retriesLeft;

        // Writes the first `count` buffered bytes; the rest stay for the next chunk.
        const auto writeBuffer = [this, transfer, attempt](std::size_t count) {
            writeAt(transfer->fd, std::string_view(attempt->buffer).substr(0, count),
                    transfer->downloadedSize, incompleteDestination_);
            transfer->downloadedSize += static_cast<std::int64_t>(count);
            attempt->buffer.erase(0, count);
        };
        request.onHead = [this, transfer, attempt, offset](const HttpResponse& head) {
            attempt->status = head.status;
            attempt->headSeen = true;
            try {
                if (head.status == 200 && offset > 0) {
                    // The server sent the whole file, not the rest: appending it would corrupt the file.
                    if (ftruncate(transfer->fd, 0) != 0) {
                        throwErrno("Couldn't empty the partial download", incompleteDestination_);
                    }
                    transfer->downloadedSize = 0;
                    attempt->lastReported = 0;
                }
            } catch (...) {
                attempt->localFailure = std::current_exception();
                return false;
            }
            return head.status >= 200 && head.status <= 299;
        };
        request.onBody = [this, transfer, attempt, expected, writeBuffer](std::string_view piece) {
            attempt->buffer.append(piece);
            while (attempt->buffer.size() >= chunkSize_) {
                try {
                    writeBuffer(chunkSize_);
                } catch (...) {
                    attempt->localFailure = std::current_exception();
                    return false;
                }
                attempt->retriesLeft = 5;
                if (!expected) {
                    continue;
                }
                const auto written = transfer->downloadedSize;
                const double fraction =
                    *expected == 0 ? 0.0 : static_cast<double>(written) / static_cast<double>(*expected);
                const auto now = std::chrono::steady_clock::now();
                const double elapsed = std::chrono::duration<double>(now - attempt->reportTime).count();
                attempt->reportTime = now;
                std::optional<double> rate;
                if (elapsed > 0) {
                    rate = static_cast<double>(written - attempt->lastReported) / elapsed;
                }
                attempt->lastReported = written;
                broadcaster_.broadcast(DownloadState::downloading(fraction, rate));
            }
            return true;
        };

        std::exception_ptr brokenOff;
        try {
            co_await HubApi::httpClient().send(std::move(request));
            if (attempt->status < 200 || attempt->status > 299) {
                throw DownloadError(DownloadError::Kind::unexpectedError);
            }
            if (!attempt->buffer.empty()) {
                writeBuffer(attempt->buffer.size());
            }
            break;
        } catch (const System::Net::TransportError&) {
            if (attempt->localFailure) {
                std::rethrow_exception(attempt->localFailure);
            }
            if (attempt->status == 416 && offset > 0 && !restarted) {
                restarted = true; // checked below: the partial file is dropped and the file asked for whole
            } else if (!attempt->headSeen) {
                throw; // no answer at all: nothing to resume
            } else if (attempt->status < 200 || attempt->status > 299) {
                throw DownloadError(DownloadError::Kind::unexpectedError);
            } else if (attempt->retriesLeft <= 0) {
                throw;
            } else {
                brokenOff = std::current_exception();
            }
        }
        if (!brokenOff) {
            // The server cannot serve the rest of this partial file (it is complete or belongs to another
            // version): start over from an empty file.
            if (ftruncate(transfer->fd, 0) != 0) {
                throwErrno("Couldn't empty the partial download", incompleteDestination_);
            }
            transfer->downloadedSize = 0;
            continue;
        }
        // The bytes still in the buffer were never written; the next request asks for them again.
        retriesLeft = attempt->retriesLeft - 1;
        co_await System::Concurrency::sleep(retryDelay_);
    }

    struct stat info {};
    if (fstat(transfer->fd, &info) != 0) {
        throwErrno("Couldn't read the size of", incompleteDestination_);
    }
    std::error_code ignored;
    if (expected && info.st_size != *expected) {
        // A partial file of the wrong length would only poison every later resume.
        fs::remove(incompleteDestination_, ignored);
        throw DownloadError(DownloadError::Kind::unexpectedError);
    }
    if (transfer->expectedSha256 &&
        HubApi::computeFileHash(incompleteDestination_) != *transfer->expectedSha256) {
        // Not the announced version (the file may have changed on the server meanwhile): useless for a
        // resume.
        fs::remove(incompleteDestination_, ignored);
        throw HubApi::EnvironmentError::fileIntegrityError(
            "Hash mismatch for " + destination_.filename().string() +
            ": the downloaded bytes are not the version the hub announced, which may have changed during the "
            "download. The partial download was removed; try again.");
    }
}

} // namespace VuzadoDudi
