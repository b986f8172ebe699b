#pragma once

#include "System/Log/ErrorDescription.h"
#include "VuzadoDudi/External/Hub/HubApi.h"
#include "VuzadoDudi/External/Hub/ModelState.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace VuzadoDudi {

// One model inside a repository: name / version / variant folders.
struct ModelInfo {
    std::optional<std::string> version; // absent matches any
    std::optional<std::string> variant; // absent matches any
    std::string name;
    // The raw value of the compute units the loader should use: 0 cpuOnly, 1 cpuAndGPU, 2 all,
    // 3 cpuAndNeuralEngine; any other value is shown as unknown.
    std::int32_t computeUnits = 2;

    // name / (version or *) / (variant or *) / *
    std::string downloadPattern() const;
    // base / name [/ version] [/ variant]
    std::filesystem::path modelURL(const std::filesystem::path& base) const;
    // name [/ version] [/ variant]
    std::string description() const;
    std::string debugDescription() const;
    // The folder above the nearest component named like the model, walking up from `url`.
    std::optional<std::filesystem::path> findBaseFolder(const std::filesystem::path& url) const;
};

struct ModelDownloadConfig {
    std::optional<std::string> downloadBase;
    std::string modelRepo;
    std::optional<std::string> modelToken;
    std::optional<std::string> modelFolder;
    bool useBackgroundSession = false;
    std::string endpoint;
    std::string revision = "main";
};

class ModelDownloaderError : public System::Log::DescribedError {
public:
    enum class Kind { modelUnavailable };
    static ModelDownloaderError modelUnavailable(std::string message);
    Kind kind() const { return Kind::modelUnavailable; }

private:
    using DescribedError::DescribedError;
};

// Finds a model or a set of model files locally (a model folder, then the hub cache) and downloads them from
// one hub repository only where allowed and needed. Every operation uses a hub client of its own.
class ModelDownloader {
public:
    using StateCallback = std::function<void(ModelState)>;

    explicit ModelDownloader(ModelDownloadConfig config);
    ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                    std::string revision, bool useBackgroundSession);
    virtual ~ModelDownloader() = default;

    const ModelDownloadConfig& config() const { return config_; }

    // The snapshot folder holding the model's files. With `useOfflineMode` true the hub must still list a
    // matching file first.
    virtual System::Concurrency::Task<std::filesystem::path>
    downloadModel(ModelInfo modelInfo, std::optional<std::filesystem::path> downloadBase = std::nullopt,
                  std::optional<bool> useOfflineMode = std::nullopt) const;
    virtual std::filesystem::path
    localRepoLocation(std::optional<std::filesystem::path> downloadBase = std::nullopt) const;
    // The model file `name`: from the model folder, else the hub cache, else (when allowed) a download.
    virtual System::Concurrency::Task<std::filesystem::path>
    resolveModel(std::string name, ModelInfo modelInfo, std::optional<std::filesystem::path> modelFolder,
                 std::optional<std::filesystem::path> downloadBase, bool download,
                 StateCallback modelStateCallback = {}) const;
    System::Concurrency::Task<std::string> resolveModelPath(std::string name, ModelInfo modelInfo,
                                                            std::optional<std::filesystem::path> modelFolder,
                                                            std::optional<std::filesystem::path> downloadBase,
                                                            bool download,
                                                            StateCallback modelStateCallback = {}) const;
    // The repository folder with the files matching `patterns`, validated offline when present, else fetched.
    virtual System::Concurrency::Task<std::filesystem::path>
    resolveRepo(std::vector<std::string> patterns, std::optional<std::filesystem::path> downloadBase,
                bool download, HubApi::ProgressHandler progressCallback = {}) const;
    virtual System::Concurrency::Task<std::vector<std::string>>
    fetchFilenames(std::vector<std::string> patterns,
                   std::optional<std::filesystem::path> downloadBase = std::nullopt) const;

    static bool patternsExistLocally(const std::vector<std::string>& patterns,
                                     const std::filesystem::path& folder);
    // folder/name.mlmodelc (or the package's model file) when it exists.
    static std::optional<std::filesystem::path> modelURLIfExists(const std::filesystem::path& folder,
                                                                 const std::string& name);

private:
    HubApi hub(std::optional<std::filesystem::path> downloadBase, std::optional<bool> offline) const;
    HubApi::Repo repo() const;

    const ModelDownloadConfig config_;
};

} // namespace VuzadoDudi
