#pragma once

#include "VuzadoDudi/External/Hub/HubApi.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace VuzadoDudi {

// Brings one repository file up to date in the cache: nothing to do when its record names the hub's current
// commit, a new record when the cached bytes are the hub's current version, else a resumable transfer.
struct HubApi::HubFileDownloader {
    using ProgressHandler = std::function<void(double fraction, std::optional<double> bytesPerSecond)>;

    HubApi hub;
    Repo repo;
    std::string revision;
    std::filesystem::path repoDestination;
    std::filesystem::path repoMetadataDestination;
    std::string relativeFilename;
    std::optional<std::string> hubToken;
    std::optional<std::string> endpoint; // the default endpoint when absent
    bool backgroundSession = false;

    // The file's address on the hub: endpoint / [datasets | spaces /] id / resolve / revision / file, the
    // revision as one segment. Throws HubClientError (downloadError) when the endpoint is not an address.
    std::string source() const;
    std::filesystem::path destination() const;
    std::filesystem::path metadataPath() const;
    std::filesystem::path incompletePath(const std::string& etag) const;
    // The file whose lock a download holds, so that downloads of the file by other processes wait for it.
    std::filesystem::path lockPath() const;

    // Creates the partial file, empty, unless it exists.
    static void prepareCacheDestination(const std::filesystem::path& incompleteFile);

    // The file's local path once it is current. Downloads of one destination take turns, in this process and
    // across the processes that share the cache.
    // Cancelling the awaiting task stops the transfer (the partial file stays for a later resume) and ends
    // with CancellationError.
    System::Concurrency::Task<std::filesystem::path> download(ProgressHandler progressHandler = {}) const;

private:
    System::Concurrency::Task<std::filesystem::path> downloadInTurn(ProgressHandler progressHandler) const;
};

} // namespace VuzadoDudi
