#include "VuzadoDudi/External/Hub/HubApiWrapper.h"

#include <nlohmann/json.hpp>

#include <mutex>

namespace VuzadoDudi {

std::string_view HubApiWrapper::rawValue(RepoType type) {
    return HubApi::rawValue(static_cast<HubApi::RepoType>(type));
}

std::optional<HubApiWrapper::RepoType> HubApiWrapper::repoTypeFromRawValue(std::string_view text) {
    const auto type = HubApi::repoTypeFromRawValue(text);
    return type ? std::optional(static_cast<RepoType>(*type)) : std::nullopt;
}

HubApiWrapper::HubApiWrapper(std::optional<std::filesystem::path> downloadBase,
                             std::optional<std::string> hubToken, std::optional<std::string> endpoint,
                             bool useBackgroundSession)
    : impl(std::move(downloadBase), std::move(hubToken), std::move(endpoint), useBackgroundSession,
           std::nullopt) {}

HubApiWrapper HubApiWrapper::shared() {
    static const HubApiWrapper wrapper;
    return wrapper;
}

HubApi::Repo HubApiWrapper::toHub(const Repo& repo) {
    static_assert(static_cast<int>(RepoType::spaces) == static_cast<int>(HubApi::RepoType::spaces));
    return HubApi::Repo{repo.id, static_cast<HubApi::RepoType>(repo.type)};
}

System::Concurrency::Task<std::filesystem::path>
HubApiWrapper::snapshot(Repo repo, std::string revision, std::vector<std::string> globs,
                        HubApi::ProgressHandler progressHandler) const {
    co_return co_await impl.snapshot(toHub(repo), std::move(revision), std::move(globs),
                                     std::move(progressHandler));
}

System::Concurrency::Task<std::vector<std::string>>
HubApiWrapper::getFilenames(Repo repo, std::string revision, std::vector<std::string> globs) const {
    co_return co_await impl.getFilenames(toHub(repo), std::move(revision), std::move(globs));
}

std::filesystem::path HubApiWrapper::localRepoLocation(const Repo& repo) const {
    return impl.localRepoLocation(toHub(repo));
}

nlohmann::json HubApiWrapper::encode(const Repo& repo) {
    return HubApi::encode(toHub(repo));
}

HubApiWrapper::Repo HubApiWrapper::decodeRepo(const nlohmann::json& json) {
    auto repo = HubApi::decodeRepo(json);
    return Repo{std::move(repo.id), static_cast<RepoType>(repo.type)};
}

} // namespace VuzadoDudi
