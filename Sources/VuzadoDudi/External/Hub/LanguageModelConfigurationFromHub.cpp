#include "VuzadoDudi/External/Hub/LanguageModelConfigurationFromHub.h"

#include "System/Net/NetErrors.h"
#include "System/Paths/Files.h"

namespace fs = std::filesystem;
using System::Concurrency::Task;
using VuzadoDudi::Hub::HubClientError;

namespace VuzadoDudi {

namespace {

// Upper case after white space, lower case elsewhere: "whisper" gives "Whisper".
std::string capitalized(const std::string& text) {
    std::string result;
    bool wordStart = true;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        result.push_back(static_cast<char>(wordStart ? std::toupper(byte) : std::tolower(byte)));
        wordStart = std::isspace(byte) != 0;
    }
    return result;
}

Task<LanguageModelConfigurationFromHub::Configurations>
loadFromHub(std::string modelName, std::string revision, HubApiWrapper hubApi) {
    std::exception_ptr failure;
    try {
        const auto folder =
            co_await hubApi.snapshot({modelName, HubApiWrapper::RepoType::models}, revision,
                                     {"config.json", "tokenizer_config.json", "chat_template.jinja",
                                      "chat_template.json", "tokenizer.json"});
        co_return LanguageModelConfigurationFromHub::loadConfig(folder);
    } catch (...) {
        failure = std::current_exception();
    }
    std::rethrow_exception(LanguageModelConfigurationFromHub::hubLoadingError(failure, modelName));
}

Task<LanguageModelConfigurationFromHub::Configurations> loadFromFolder(fs::path folder) {
    co_return LanguageModelConfigurationFromHub::loadConfig(folder);
}

} // namespace

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(std::string modelName,
                                                                     std::string revision,
                                                                     HubApiWrapper hubApi)
    : configPromise_(spawn(HubApi::backgroundExecutor(),
                           loadFromHub(std::move(modelName), std::move(revision), std::move(hubApi)))) {}

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(fs::path modelFolder, HubApiWrapper)
    : configPromise_(spawn(HubApi::backgroundExecutor(), loadFromFolder(std::move(modelFolder)))) {}

std::exception_ptr LanguageModelConfigurationFromHub::hubLoadingError(std::exception_ptr failure,
                                                                      const std::string& modelName) {
    try {
        std::rethrow_exception(failure);
    } catch (const System::Net::TransportError& error) {
        if (error.code() == System::Net::TransportError::Code::resourceUnavailable) {
            return std::make_exception_ptr(HubClientError::resourceNotFound(modelName));
        }
        return std::make_exception_ptr(HubClientError::networkError(error));
    } catch (...) {
        return failure;
    }
}

LanguageModelConfigurationFromHub::Configurations
LanguageModelConfigurationFromHub::loadConfig(const fs::path& modelFolder) {
    try {
        Configurations result;
        if (fs::exists(modelFolder / "config.json")) {
            result.modelConfig = HubApi::configuration(modelFolder / "config.json");
        }
        if (!fs::exists(modelFolder / "tokenizer.json")) {
            throw HubClientError::configurationMissing("tokenizer.json");
        }
        result.tokenizerData = HubApi::configuration(modelFolder / "tokenizer.json");
        if (fs::exists(modelFolder / "tokenizer_config.json")) {
            result.tokenizerConfig = HubApi::configuration(modelFolder / "tokenizer_config.json");
        }

        std::optional<std::string> chatTemplate;
        if (fs::exists(modelFolder / "chat_template.jinja")) {
            const auto text = System::Paths::readFile(modelFolder / "chat_template.jinja");
            chatTemplate = text.value_or("");
        } else if (fs::exists(modelFolder / "chat_template.json")) {
            const auto templates = HubApi::configuration(modelFolder / "chat_template.json");
            chatTemplate = templates["chatTemplate"].string();
        }
        if (chatTemplate) {
            Config::Dictionary merged;
            if (result.tokenizerConfig && result.tokenizerConfig->dictionaryValue()) {
                merged = *result.tokenizerConfig->dictionaryValue();
            }
            merged[BinaryDistinctString("chat_template")] = Config(*chatTemplate);
            result.tokenizerConfig = Config(std::move(merged));
        }
        return result;
    } catch (const HubClientError&) {
        throw;
    } catch (...) {
        throw HubClientError::fileSystemError(std::current_exception());
    }
}

Task<LanguageModelConfigurationFromHub::Configurations>
LanguageModelConfigurationFromHub::configurations() const {
    co_return co_await configPromise_.value();
}

Task<std::optional<std::string>> LanguageModelConfigurationFromHub::modelType() const {
    const auto loaded = co_await configPromise_.value();
    if (!loaded.modelConfig) {
        co_return std::nullopt;
    }
    co_return (*loaded.modelConfig)["modelType"].string();
}

Task<std::optional<Config>> LanguageModelConfigurationFromHub::tokenizerConfig() const {
    co_return completedTokenizerConfig(co_await configPromise_.value());
}

std::optional<Config>
LanguageModelConfigurationFromHub::completedTokenizerConfig(const Configurations& loaded) {
    if (!loaded.tokenizerConfig) {
        return std::nullopt;
    }
    const Config* tokenizerClass = loaded.tokenizerConfig->member("tokenizerClass");
    if (tokenizerClass != nullptr && tokenizerClass->string()) {
        return loaded.tokenizerConfig;
    }
    const auto type = loaded.modelConfig ? (*loaded.modelConfig)["modelType"].string() : std::nullopt;
    if (!type) {
        return loaded.tokenizerConfig;
    }
    Config::Dictionary completed;
    if (const auto* entries = loaded.tokenizerConfig->dictionaryValue()) {
        completed = *entries;
    }
    completed[BinaryDistinctString("tokenizer_class")] = Config(capitalized(*type) + "Tokenizer");
    return Config(std::move(completed));
}

} // namespace VuzadoDudi
