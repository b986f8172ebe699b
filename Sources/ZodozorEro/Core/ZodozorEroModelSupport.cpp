// The facade's static model operations: which models suit this machine, and fetching one model folder.

#include "ZodozorEro/Core/ZodozorEro.h"

#include "System/Json/BoundedJson.h"
#include "System/Paths/Files.h"
#include "VuzadoDudi/External/Hub/HubApiWrapper.h"
#include "VuzadoDudi/FoundationExtensions.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Utilities/ModelUtilities.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <set>
#include <stdexcept>

namespace ZodozorEro {

using System::Concurrency::Task;
using VuzadoDudi::HubApiWrapper;
using VuzadoDudi::Logging;

namespace {
constexpr const char* revision = "main";

std::string inQuotes(const std::string& text) {
    return "\"" + text + "\"";
}

std::string describe(const HubApiWrapper::Repo& repo) {
    return repo.id + " (" + std::string(HubApiWrapper::rawValue(repo.type)) + ")";
}

// The distinct first path components of the listed files.
std::set<std::string> folderNames(const std::vector<std::string>& files) {
    std::set<std::string> names;
    for (const auto& file : files) {
        names.insert(file.substr(0, file.find('/')));
    }
    return names;
}
} // namespace

ModelSupport ZodozorEro::recommendedModels() {
    const std::string device = deviceName();
    Logging::debug("Running on " + device);
    return Constants::fallbackModelSupportConfig().modelSupport(device);
}

Task<ModelSupport> ZodozorEro::recommendedRemoteModels(std::string repo,
                                                       std::optional<std::filesystem::path> downloadBase,
                                                       std::optional<std::string> token,
                                                       std::string remoteConfigName, std::string endpoint) {
    const std::string device = deviceName();
    const ModelSupportConfig table = co_await fetchModelSupportConfig(
        std::move(repo), std::move(downloadBase), std::move(token), std::move(remoteConfigName), std::move(endpoint));
    co_return table.modelSupport(device);
}

Task<ModelSupportConfig> ZodozorEro::fetchModelSupportConfig(std::string repo,
                                                             std::optional<std::filesystem::path> downloadBase,
                                                             std::optional<std::string> token,
                                                             std::string remoteConfigName, std::string endpoint) {
    const HubApiWrapper hubApi(downloadBase, token, endpoint, false);
    const HubApiWrapper::Repo repository{repo, HubApiWrapper::RepoType::models};
    Logging::debug("Searching for config file matching " + inQuotes(remoteConfigName) + " in " + repo);

    std::optional<std::string> failure;
    try {
        const auto names = co_await hubApi.getFilenames(repository, revision, {remoteConfigName});
        if (names.empty()) {
            Logging::info("No config files found matching " + inQuotes(remoteConfigName) + " in " + repo +
                          ", using fallback");
            co_return Constants::fallbackModelSupportConfig();
        }
        if (names.size() > 1) {
            std::string list;
            for (const auto& name : names) {
                list += (list.empty() ? "" : ", ") + inQuotes(name);
            }
            Logging::info("Multiple config files found (" + std::to_string(names.size()) + "): [" + list +
                          "]. Using first matching file: " + names.front());
        }
        const std::string chosen = names.front();
        const auto folder = co_await hubApi.snapshot(repository, revision, {chosen});
        const auto text = System::Paths::readFile(folder / chosen, VuzadoDudi::HubApi::maxJsonAnswerSize);
        if (!text) {
            throw std::runtime_error("cannot read " + (folder / chosen).string());
        }
        co_return ModelSupportConfig::decode(System::Json::parse(*text));
    } catch (const std::exception& error) {
        failure = error.what();
    }
    Logging::error("Fetch model support config failed with error: " + *failure);
    co_return Constants::fallbackModelSupportConfig();
}

Task<std::vector<std::string>> ZodozorEro::fetchAvailableModels(std::string repo, std::vector<std::string> patterns,
                                                                std::optional<std::filesystem::path> downloadBase,
                                                                std::optional<std::string> token,
                                                                std::string remoteConfigName, std::string endpoint) {
    const ModelSupportConfig table = co_await fetchModelSupportConfig(
        std::move(repo), std::move(downloadBase), std::move(token), std::move(remoteConfigName), std::move(endpoint));
    const std::vector<std::string> supported = table.modelSupport(deviceName()).supported;
    std::set<std::string> matched;
    for (const auto& pattern : patterns) {
        for (auto& name : VuzadoDudi::matching(supported, pattern)) {
            matched.insert(std::move(name));
        }
    }
    co_return ModelUtilities::formatModelFiles({matched.begin(), matched.end()});
}

Task<std::filesystem::path> ZodozorEro::download(std::string variant,
                                                 std::optional<std::filesystem::path> downloadBase,
                                                 bool useBackgroundSession, std::string from,
                                                 std::optional<std::string> token, std::string endpoint,
                                                 DownloadProgressCallback progressCallback) {
    const HubApiWrapper hubApi(downloadBase, token, endpoint, useBackgroundSession);
    const HubApiWrapper::Repo repository{from, HubApiWrapper::RepoType::models};
    try {
        std::string pattern = "*" + variant + "/*";
        Logging::debug("Searching for models matching " + inQuotes(pattern) + " in " + describe(repository));
        auto folders = folderNames(co_await hubApi.getFilenames(repository, revision, {pattern}));
        if (folders.size() != 1) {
            Logging::debug("Multiple models found matching " + inQuotes(pattern));
            pattern = "*openai*" + variant + "/*";
            Logging::debug("Searching for models matching " + inQuotes(pattern) + " in " + describe(repository));
            folders = folderNames(co_await hubApi.getFilenames(repository, revision, {pattern}));
            if (folders.size() != 1) {
                throw WhisperError::modelsUnavailable(std::string(folders.empty() ? "No" : "Multiple") +
                                                      " models found matching " + inQuotes(pattern) + " in " +
                                                      describe(repository));
            }
        }
        const std::string folderName = *folders.begin();
        Logging::debug("Downloading model " + folderName + "...");
        const auto repositoryFolder = co_await hubApi.snapshot(
            repository, revision, {pattern}, [progressCallback](const VuzadoDudi::Progress& progress) {
                Logging::debug("Download progress: " + std::to_string(progress.fractionCompleted()));
                if (progressCallback) {
                    progressCallback(progress);
                }
            });
        co_return repositoryFolder / folderName;
    } catch (const WhisperError&) {
        throw;
    } catch (const std::exception& error) {
        Logging::debug(std::string(error.what()));
        throw;
    }
}

} // namespace ZodozorEro
