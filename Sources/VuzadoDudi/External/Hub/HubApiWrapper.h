#pragma once

#include "VuzadoDudi/External/Hub/HubApi.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace VuzadoDudi {

// The narrow entry through which the speech stack reaches the hub client: snapshots, listings and where a
// repository lies in the cache, with repository types of its own so callers never name the client's.
struct HubApiWrapper {
    enum class RepoType { models, datasets, spaces };
    static std::string_view rawValue(RepoType type);
    static std::optional<RepoType> repoTypeFromRawValue(std::string_view text);

    struct Repo {
        std::string id;
        RepoType type = RepoType::models;
        bool operator==(const Repo&) const = default;
    };

    HubApi impl;

    explicit HubApiWrapper(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                           std::optional<std::string> hubToken = std::nullopt,
                           std::optional<std::string> endpoint = std::nullopt,
                           bool useBackgroundSession = false);

    // The process-wide wrapper with default settings, built on first use; a copy.
    static HubApiWrapper shared();

    System::Concurrency::Task<std::filesystem::path>
    snapshot(Repo repo, std::string revision, std::vector<std::string> globs = {},
             HubApi::ProgressHandler progressHandler = {}) const;
    System::Concurrency::Task<std::vector<std::string>>
    getFilenames(Repo repo, std::string revision, std::vector<std::string> globs = {}) const;
    // Where the repository lies (or would lie) in the cache; the disk is not consulted.
    std::filesystem::path localRepoLocation(const Repo& repo) const;

    // JSON form {"id": ..., "type": ...}; decoding fails for a type outside the three words.
    static nlohmann::json encode(const Repo& repo);
    static Repo decodeRepo(const nlohmann::json& json);

    static HubApi::Repo toHub(const Repo& repo);
};

} // namespace VuzadoDudi

template <>
struct std::hash<VuzadoDudi::HubApiWrapper::Repo> {
    std::size_t operator()(const VuzadoDudi::HubApiWrapper::Repo& repo) const noexcept {
        return std::hash<VuzadoDudi::HubApi::Repo>()(VuzadoDudi::HubApiWrapper::toHub(repo));
    }
};
