#include "VuzadoDudi/External/Hub/ModelDownloader.h"

#include "VuzadoDudi/Logging.h"

namespace fs = std::filesystem;
using System::Concurrency::Task;

namespace VuzadoDudi {

// --- ModelInfo
// ----------------------------------------------------------------------------------------------

std::string ModelInfo::downloadPattern() const {
    return name + "/" + version.value_or("*") + "/" + variant.value_or("*") + "/*";
}

fs::path ModelInfo::modelURL(const fs::path& base) const {
    fs::path url = base / name;
    if (version) {
        url /= *version;
    }
    if (variant) {
        url /= *variant;
    }
    return url;
}

std::string ModelInfo::description() const {
    std::string text = name;
    for (const auto& part : {version, variant}) {
        if (part) {
            text += "/" + *part;
        }
    }
    return text;
}

std::string ModelInfo::debugDescription() const {
    static constexpr const char* names[] = {"cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine"};
    const std::string unit = computeUnits >= 0 && computeUnits < 4 ? names[computeUnits] : "unknown";
    return "ModelInfo(name: " + name + ", version: " + version.value_or("nil") +
           ", variant: " + variant.value_or("nil") + ", computeUnit: " + unit + ")";
}

std::optional<fs::path> ModelInfo::findBaseFolder(const fs::path& url) const {
    fs::path current = url;
    while (std::distance(current.begin(), current.end()) > 1) {
        if (current.filename() == name) {
            return current.parent_path();
        }
        current = current.parent_path();
    }
    return std::nullopt;
}

ModelDownloaderError ModelDownloaderError::modelUnavailable(std::string message) {
    return ModelDownloaderError(std::move(message));
}

// --- ModelDownloader
// ----------------------------------------------------------------------------------------

ModelDownloader::ModelDownloader(ModelDownloadConfig config)
    : config_(std::move(config)) {}

ModelDownloader::ModelDownloader(std::string endpoint, std::string repoName,
                                 std::optional<std::string> modelToken, std::string revision,
                                 bool useBackgroundSession)
    : ModelDownloader(ModelDownloadConfig{std::nullopt, std::move(repoName), std::move(modelToken),
                                          std::nullopt, useBackgroundSession, std::move(endpoint),
                                          std::move(revision)}) {}

HubApi ModelDownloader::hub(std::optional<fs::path> downloadBase, std::optional<bool> offline) const {
    if (!downloadBase && config_.downloadBase) {
        downloadBase = fs::path(*config_.downloadBase);
    }
    return HubApi(std::move(downloadBase), config_.modelToken, config_.endpoint, config_.useBackgroundSession,
                  offline);
}

HubApi::Repo ModelDownloader::repo() const {
    return HubApi::Repo{config_.modelRepo, HubApi::RepoType::models};
}

Task<fs::path> ModelDownloader::downloadModel(ModelInfo modelInfo, std::optional<fs::path> downloadBase,
                                              std::optional<bool> useOfflineMode) const {
    const auto api = hub(std::move(downloadBase), useOfflineMode);
    const auto pattern = modelInfo.downloadPattern();
    if (useOfflineMode == true) {
        Logging::debug("[ModelDownloader] Searching for models matching \"" + pattern + "\" in " +
                       config_.modelRepo + " (models)");
        const auto found = co_await api.getFilenames(repo(), config_.revision, {pattern});
        if (found.empty()) {
            throw ModelDownloaderError::modelUnavailable("No models found matching \"" + pattern + "\" in " +
                                                         config_.modelRepo);
        }
        Logging::debug("[ModelDownloader] Downloading model " + pattern + " with offline mode: true");
    } else {
        Logging::debug("[ModelDownloader] Downloading model " + pattern + " with offline mode: false");
    }
    co_return co_await api.snapshot(repo(), config_.revision, {pattern});
}

fs::path ModelDownloader::localRepoLocation(std::optional<fs::path> downloadBase) const {
    return hub(std::move(downloadBase), std::nullopt).localRepoLocation(repo());
}

Task<fs::path> ModelDownloader::resolveModel(std::string name, ModelInfo modelInfo,
                                             std::optional<fs::path> modelFolder,
                                             std::optional<fs::path> downloadBase, bool download,
                                             StateCallback modelStateCallback) const {
    if (!modelFolder && config_.modelFolder) {
        modelFolder = fs::path(*config_.modelFolder);
    }
    if (modelFolder) {
        if (auto found = modelURLIfExists(modelInfo.modelURL(*modelFolder), name)) {
            Logging::debug("[ModelDownloader] Found " + name + " in model folder");
            co_return *found;
        }
    }
    const auto report = [&](ModelState state) {
        if (modelStateCallback) {
            modelStateCallback(state);
        }
    };

    std::optional<fs::path> cached;
    try {
        cached = co_await downloadModel(modelInfo, downloadBase, true);
    } catch (const std::exception&) {
        // Not in the cache (or the cache cannot be checked): a download decides below.
    }
    if (cached) {
        if (auto found = modelURLIfExists(modelInfo.modelURL(*cached), name)) {
            Logging::debug("[ModelDownloader] Found existing " + name + " in cache");
            report(ModelState::downloaded);
            co_return *found;
        }
    }
    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No model found for " + name + " (download disabled)");
    }
    report(ModelState::downloading);
    const auto folder = co_await downloadModel(modelInfo, downloadBase, std::nullopt);
    if (auto found = modelURLIfExists(modelInfo.modelURL(folder), name)) {
        Logging::debug("[ModelDownloader] Downloaded " + name);
        report(ModelState::downloaded);
        co_return *found;
    }
    throw ModelDownloaderError::modelUnavailable("No model found for " + name);
}

Task<std::string> ModelDownloader::resolveModelPath(std::string name, ModelInfo modelInfo,
                                                    std::optional<fs::path> modelFolder,
                                                    std::optional<fs::path> downloadBase, bool download,
                                                    StateCallback modelStateCallback) const {
    const auto url = co_await resolveModel(std::move(name), std::move(modelInfo), std::move(modelFolder),
                                           std::move(downloadBase), download, std::move(modelStateCallback));
    co_return url.string();
}

Task<fs::path> ModelDownloader::resolveRepo(std::vector<std::string> patterns,
                                            std::optional<fs::path> downloadBase, bool download,
                                            HubApi::ProgressHandler progressCallback) const {
    const fs::path folder = localRepoLocation(downloadBase);
    std::optional<std::string> invalid;
    if (patternsExistLocally(patterns, folder)) {
        try {
            co_await hub(downloadBase, true).snapshot(repo(), config_.revision, patterns);
            Logging::debug("[ModelDownloader] Found valid local cache at " + folder.string());
            co_return folder;
        } catch (const std::exception& error) {
            invalid = error.what();
        }
        Logging::debug("[ModelDownloader] Local cache for '" + config_.modelRepo + "' didn't validate (" +
                       *invalid + "); re-resolving.");
    }
    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No valid local models found for repo '" +
                                                     config_.modelRepo + "' and download is disabled.");
    }
    Logging::info("[ModelDownloader] Downloading " + std::to_string(patterns.size()) + " model(s) from " +
                  config_.modelRepo + "...");
    const auto downloaded = co_await hub(downloadBase, std::nullopt)
                                .snapshot(repo(), config_.revision, patterns, std::move(progressCallback));
    Logging::info("[ModelDownloader] Download complete: " + downloaded.string());
    co_return downloaded;
}

Task<std::vector<std::string>> ModelDownloader::fetchFilenames(std::vector<std::string> patterns,
                                                               std::optional<fs::path> downloadBase) const {
    co_return co_await hub(std::move(downloadBase), std::nullopt)
        .getFilenames(repo(), config_.revision, std::move(patterns));
}

bool ModelDownloader::patternsExistLocally(const std::vector<std::string>& patterns, const fs::path& folder) {
    for (const auto& pattern : patterns) {
        fs::path place = folder;
        std::size_t kept = 0;
        std::size_t start = 0;
        while (start <= pattern.size()) {
            const auto end = std::min(pattern.find('/', start), pattern.size());
            const auto piece = pattern.substr(start, end - start);
            start = end + 1;
            if (piece.empty()) {
                continue;
            }
            if (piece.find('*') != std::string::npos) {
                break;
            }
            place /= piece;
            ++kept;
        }
        std::error_code error;
        if (kept == 0 || !fs::exists(place, error)) {
            return false;
        }
        fs::directory_iterator entries(place, error);
        if (error || entries == fs::directory_iterator()) {
            return false;
        }
    }
    return true;
}

std::optional<fs::path> ModelDownloader::modelURLIfExists(const fs::path& folder, const std::string& name) {
    // The compiled model, or the model file of a package when only the package is there.
    fs::path candidate = folder / (name + ".mlmodelc");
    const fs::path package = folder / (name + ".mlpackage") / "Data" / "com.apple.CoreML" / "model.mlmodel";
    std::error_code error;
    if (!fs::exists(candidate, error) && fs::exists(package, error)) {
        candidate = package;
    }
    return fs::exists(candidate, error) ? std::optional(candidate) : std::nullopt;
}

} // namespace VuzadoDudi
