#include "VuzadoDudi/External/Hub/HubFileDownloader.h"

#include "System/Net/Url.h"
#include "System/Paths/Files.h"
#include "VuzadoDudi/External/Hub/Downloader.h"

namespace fs = std::filesystem;
using System::Concurrency::Task;
using VuzadoDudi::Hub::HubClientError;

namespace VuzadoDudi {

namespace {

constexpr std::size_t kChunkSize = 10 * 1024 * 1024;
const auto kTransferTimeout = System::Concurrency::Duration::seconds(std::int64_t{10});
constexpr int kRetries = 5;

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

void HubApi::HubFileDownloader::prepareCacheDestination(const fs::path& incompleteFile) {
    fs::create_directories(incompleteFile.parent_path());
    if (!fs::exists(incompleteFile)) {
        System::Paths::writeFileAtomically(incompleteFile, "", 0644);
    }
}

Task<fs::path> HubApi::HubFileDownloader::download(ProgressHandler progressHandler) const {
    // The name and the etag become paths: neither may lead out of the repository folder.
    HubApi::checkRelativeName(relativeFilename);
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
    auto states =
        co_await downloader->download(source(), hubToken, {}, remote.size, kTransferTimeout, kRetries);
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
