#pragma once

#include "System/Concurrency/Duration.h"
#include "System/Concurrency/Task.h"
#include "System/Log/ErrorDescription.h"
#include "System/Net/HttpHeaders.h"
#include "VuzadoDudi/External/Hub/Broadcaster.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace VuzadoDudi {

// Fetches one remote file into a partial file, resuming from the partial file's size with a Range request,
// retrying a transfer that breaks off mid-body, and moving the finished file onto its destination with one
// rename once its length (and digest, when one is expected) is right. Progress, completion and failure reach
// every subscriber through a state stream. Made with std::make_shared: a transfer keeps its downloader alive.
class Downloader : public std::enable_shared_from_this<Downloader> {
public:
    struct DownloadState {
        enum class Kind { downloading, completed, failed, notStarted };
        Kind kind = Kind::notStarted;
        double fraction = 0;            // downloading: bytes present / expected size (0 when unknown)
        std::optional<double> rate;     // downloading: bytes per second since the previous report
        std::filesystem::path location; // completed
        std::exception_ptr error;       // failed

        static DownloadState downloading(double fraction, std::optional<double> rate) {
            return {Kind::downloading, fraction, rate, {}, nullptr};
        }
        static DownloadState completed(std::filesystem::path location) {
            return {Kind::completed, 1, std::nullopt, std::move(location), nullptr};
        }
        static DownloadState failed(std::exception_ptr error) {
            return {Kind::failed, 0, std::nullopt, {}, error};
        }
        static DownloadState notStarted() { return {}; }
    };

    class DownloadError : public System::Log::DescribedError {
    public:
        enum class Kind { invalidDownloadLocation, unexpectedError, tempFileNotFound };
        explicit DownloadError(Kind kind);
        Kind kind() const { return kind_; }

    private:
        Kind kind_;
    };

    using StateStream = Broadcaster<DownloadState>::Stream;

    // `inBackground` is kept for callers that ask for it; transfers here always run in this process.
    // `retryDelay` is the pause before a broken-off transfer is asked for again.
    Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination,
               bool inBackground, std::size_t chunkSize,
               System::Concurrency::Duration retryDelay = System::Concurrency::Duration::seconds(std::int64_t{
                   1}));
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Starts the transfer (cancelling one still running) and returns a new subscription to its states. The
    // partial file must exist. `timeout` is the longest the transfer may go without receiving anything.
    // `numRetries` counts attempts that break off before writing a chunk; writing one restores five. An
    // "If-Range" among `headers` goes only with a Range request, the one it has a meaning for. With
    // `expectedSha256` (64 lower-case hex digits) the finished file must have that digest: otherwise it is
    // deleted, never moved, and the transfer fails with HubApi::EnvironmentError (fileIntegrityError).
    System::Concurrency::Task<StateStream> download(std::string url, std::optional<std::string> token,
                                                    System::Net::HttpHeaders headers,
                                                    std::optional<std::int64_t> expectedSize,
                                                    System::Concurrency::Duration timeout, int numRetries,
                                                    std::optional<std::string> expectedSha256 = std::nullopt);

    // Stops the transfer and publishes its failure with CancellationError; the partial file stays for a
    // later resume.
    void cancel();

    StateStream subscribe() { return broadcaster_.subscribe(); }

    const std::filesystem::path& destination() const { return destination_; }
    const std::filesystem::path& incompleteDestination() const { return incompleteDestination_; }

    // The size of the file at `path`; 0 when it is missing or unreadable.
    static std::int64_t incompleteFileSize(const std::filesystem::path& path);

private:
    struct Transfer;

    System::Concurrency::Task<void> setUpDownload(std::shared_ptr<Transfer> transfer);
    System::Concurrency::Task<void> fetch(std::shared_ptr<Transfer> transfer);

    const std::filesystem::path destination_;
    const std::filesystem::path incompleteDestination_;
    const bool inBackground_;
    const std::size_t chunkSize_;
    const System::Concurrency::Duration retryDelay_;
    Broadcaster<DownloadState> broadcaster_;
    std::mutex mutex_;
    System::Concurrency::TaskHandle<void> task_;
};

} // namespace VuzadoDudi
