#include "VuzadoDudi/External/Hub/HubApi.h"
#include "VuzadoDudi/External/Hub/HubFileDownloader.h"
#include "VuzadoDudi/External/Hub/Progress.h"
#include "VuzadoDudi/FoundationExtensions.h"

#include <cmath>

namespace fs = std::filesystem;
using System::Concurrency::Task;

namespace VuzadoDudi {

namespace {

using EnvironmentError = HubApi::EnvironmentError;

// Every regular file below `folder`, in the enumeration's order, leaving out hidden files and everything in
// hidden folders (the ".cache" records among them). A folder that cannot be read gives no files.
std::vector<fs::path> visibleFiles(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, error);
    for (const fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
        const auto name = it->path().filename().string();
        if (name.starts_with(".")) {
            if (it->is_directory()) {
                it.disable_recursion_pending();
            }
            continue;
        }
        std::error_code typeError;
        if (it->is_regular_file(typeError)) {
            files.push_back(it->path());
        } else if (typeError && typeError != std::errc::no_such_file_or_directory) {
            throw fs::filesystem_error("Couldn't read the type of", it->path(), typeError);
        }
    }
    return files;
}

// The file's path inside `base` (which ends with "/"), with symbolic links resolved; nothing when it lies
// elsewhere.
std::optional<std::string> relativeName(const fs::path& file, const std::string& base) {
    std::error_code error;
    const auto resolved = fs::canonical(file, error).string();
    if (error || !resolved.starts_with(base)) {
        return std::nullopt;
    }
    return resolved.substr(base.size());
}

} // namespace

Task<fs::path> HubApi::snapshot(Repo repo, std::string revision, std::vector<std::string> globs,
                                ProgressHandler progressHandler) const {
    const fs::path repoFolder = localRepoLocation(repo);
    const fs::path metadataFolder = metadataLocation(repo);
    const bool offline = useOfflineMode.value_or(NetworkMonitor::shared()->state().shouldUseOfflineMode());
    if (!progressHandler) {
        progressHandler = [](const Progress&) {};
    }

    if (!offline) {
        const auto filenames = co_await getFilenames(repo, revision, globs);
        Progress total(static_cast<std::int64_t>(filenames.size()));
        for (const auto& filename : filenames) {
            const auto fileProgress = total.addChild(100, 1);
            const HubFileDownloader downloader{*this,      repo,           revision,
                                               repoFolder, metadataFolder, filename,
                                               hubToken,   endpoint,       useBackgroundSession};
            co_await downloader.download([&](double fraction, std::optional<double> speed) {
                const double units = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) * 100 : 0;
                fileProgress->setCompletedUnitCount(static_cast<std::int64_t>(units));
                if (speed) {
                    fileProgress->setThroughput(*speed);
                    total.setThroughput(*speed);
                }
                progressHandler(total);
            });
            // A cancelled snapshot is not a complete one: the caller must not take the folder for it.
            co_await System::Concurrency::checkCancellation();
            fileProgress->setCompletedUnitCount(100);
        }
        progressHandler(total);
        co_return repoFolder;
    }

    if (!fs::exists(repoFolder)) {
        throw EnvironmentError::offlineModeError("Repository not available locally");
    }
    std::string base = fs::canonical(repoFolder).string();
    if (!base.ends_with("/")) {
        base += "/";
    }
    auto files = visibleFiles(repoFolder);
    if (files.empty()) {
        throw EnvironmentError::offlineModeError("No files available locally for this repository");
    }
    if (!globs.empty()) {
        std::erase_if(files, [&](const fs::path& file) {
            const auto name = relativeName(file, base);
            return !name || std::none_of(globs.begin(), globs.end(), [&](const std::string& glob) {
                return !matching({*name}, glob).empty();
            });
        });
        if (files.empty()) {
            throw EnvironmentError::offlineModeError(
                "No files matching the requested patterns are available locally");
        }
    }
    for (const auto& file : files) {
        const auto name = relativeName(file, base);
        const auto missing = "Metadata not available for " + file.filename().string();
        if (!name) {
            throw EnvironmentError::offlineModeError(missing);
        }
        const auto record = readDownloadMetadata(metadataFolder / (*name + ".metadata"));
        if (!record) {
            throw EnvironmentError::offlineModeError(missing);
        }
        if (isSha256(record->etag) && computeFileHash(file) != record->etag) {
            throw EnvironmentError::fileIntegrityError("Hash mismatch for " + file.filename().string());
        }
    }
    co_return repoFolder;
}

} // namespace VuzadoDudi
