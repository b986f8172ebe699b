#include "ZodozorEro/Utilities/ModelUtilities.h"

#include "VuzadoDudi/External/Hub/HubApiWrapper.h"
#include "VuzadoDudi/External/Hub/PretrainedTokenizer.h"
#include "VuzadoDudi/Logging.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Core/WhisperTokenizerWrapper.h"

#include <algorithm>
#include <set>

namespace ZodozorEro::ModelUtilities {

namespace {
constexpr int englishVocabulary = 51864;
constexpr int multilingualVocabulary = 51865;
constexpr int latestLargeVocabulary = 51866;

ModelVariant bySize(int encoderDim, bool english) {
    switch (encoderDim) {
    case 384:
        return english ? ModelVariant::tinyEn : ModelVariant::tiny;
    case 512:
        return english ? ModelVariant::baseEn : ModelVariant::base;
    case 768:
        return english ? ModelVariant::smallEn : ModelVariant::small;
    case 1024:
        return english ? ModelVariant::mediumEn : ModelVariant::medium;
    case 1280:
        // The English-only sizes stop at medium.
        return english ? ModelVariant::baseEn : ModelVariant::largev2;
    default:
        return english ? ModelVariant::baseEn : ModelVariant::base;
    }
}
} // namespace

ModelSupport modelSupport(const std::string& deviceIdentifier, const ModelSupportConfig* table) {
    const ModelSupportConfig& chosen = table ? *table : Constants::fallbackModelSupportConfig();
    return chosen.modelSupport(deviceIdentifier);
}

ModelVariant detectVariant(int logitsDim, int encoderDim) {
    switch (logitsDim) {
    case englishVocabulary:
        return bySize(encoderDim, true);
    case multilingualVocabulary:
        return bySize(encoderDim, false);
    case latestLargeVocabulary:
        return ModelVariant::largev3;
    default:
        VuzadoDudi::Logging::error("Unrecognized vocabulary size: " + std::to_string(logitsDim) +
                                   ", defaulting to base variant");
        return ModelVariant::base;
    }
}

std::string tokenizerNameForVariant(ModelVariant variant) {
    return "openai/whisper-" + std::string(description(variant));
}

System::Concurrency::Task<std::shared_ptr<const WhisperTokenizer>>
loadTokenizer(ModelVariant variant, std::optional<std::filesystem::path> tokenizerFolder,
              std::vector<std::filesystem::path> additionalSearchPaths, bool useBackgroundSession) {
    using VuzadoDudi::Logging;
    const std::string name = tokenizerNameForVariant(variant);
    const VuzadoDudi::HubApiWrapper hubApi(tokenizerFolder, std::nullopt, std::nullopt, useBackgroundSession);
    const std::filesystem::path hubFolder =
        hubApi.localRepoLocation({name, VuzadoDudi::HubApiWrapper::RepoType::models});

    std::vector<std::filesystem::path> searchPaths{hubFolder};
    if (tokenizerFolder) {
        searchPaths.push_back(*tokenizerFolder);
    }
    searchPaths.insert(searchPaths.end(), additionalSearchPaths.begin(), additionalSearchPaths.end());

    std::optional<std::filesystem::path> localFolder;
    for (const auto& folder : searchPaths) {
        const auto file = folder / "tokenizer.json";
        std::error_code error;
        const bool found = std::filesystem::is_regular_file(file, error);
        Logging::debug("Checking for local tokenizer at " + file.string() + " - " +
                       (found ? "found" : "not found"));
        if (found) {
            localFolder = folder;
            Logging::debug("Found local tokenizer at " + folder.string());
            break;
        }
    }
    if (!localFolder) {
        Logging::debug("No tokenizer found in any local search paths");
    }

    if (localFolder) {
        Logging::debug("Loading tokenizer from " + localFolder->string());
        std::optional<std::string> failure;
        try {
            auto tokenizer = co_await VuzadoDudi::AutoTokenizerWrapper::fromModelFolder(*localFolder, hubApi, true);
            co_return std::make_shared<const WhisperTokenizerWrapper>(std::move(tokenizer), *localFolder);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        Logging::debug("Error loading local tokenizer: " + *failure);
    }

    Logging::debug("Downloading tokenizer from Hub at file://" + hubFolder.string());
    auto tokenizer = co_await VuzadoDudi::AutoTokenizerWrapper::fromPretrained(name, hubApi, true);
    co_return std::make_shared<const WhisperTokenizerWrapper>(std::move(tokenizer), hubFolder);
}

std::vector<std::string> formatModelFiles(const std::vector<std::string>& files) {
    std::vector<std::string> descriptions;
    std::vector<std::string> filters;
    for (const ModelVariant variant : allModelVariants) {
        std::string text(description(variant));
        descriptions.push_back(text);
        // Every large model's folder carries a suffix of its own ("large-v3_turbo"), so no slash is asked.
        filters.push_back(text.find("large") != std::string::npos ? text : text + "/");
    }

    std::set<std::string> kept;
    for (const auto& file : files) {
        const std::string candidate = file.substr(0, file.find('/')) + "/";
        const bool known = std::any_of(filters.begin(), filters.end(), [&](const std::string& filter) {
            return candidate.find(filter) != std::string::npos;
        });
        if (known) {
            kept.insert(candidate.substr(0, candidate.size() - 1));
        }
    }

    const auto rank = [&](const std::string& name) {
        for (std::size_t index = 0; index < descriptions.size(); ++index) {
            if (name.find(descriptions[index]) != std::string::npos) {
                return index;
            }
        }
        return descriptions.size();
    };
    std::vector<std::string> names(kept.begin(), kept.end());
    std::stable_sort(names.begin(), names.end(), [&](const std::string& left, const std::string& right) {
        const auto leftRank = rank(left);
        const auto rightRank = rank(right);
        return leftRank != rightRank ? leftRank < rightRank : left < right;
    });
    return names;
}

} // namespace ZodozorEro::ModelUtilities
