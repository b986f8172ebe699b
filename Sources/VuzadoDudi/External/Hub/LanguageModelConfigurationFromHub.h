#pragma once

#include "System/Concurrency/Task.h"
#include "VuzadoDudi/Config.h"
#include "VuzadoDudi/External/Hub/HubApiWrapper.h"

#include <exception>
#include <filesystem>
#include <optional>
#include <string>

namespace VuzadoDudi {

// The three documents a tokenizer is built from: the model configuration, the tokenizer configuration (with
// any chat template merged in) and the tokenizer data, from a hub repository or a local folder. Loading
// starts at construction; every reader gets the same result or the same error.
class LanguageModelConfigurationFromHub {
public:
    struct Configurations {
        std::optional<Config> modelConfig;     // config.json
        std::optional<Config> tokenizerConfig; // tokenizer_config.json and the chat template
        Config tokenizerData;                  // tokenizer.json
    };

    // Downloads the five configuration files of the model repository `modelName` at `revision`.
    LanguageModelConfigurationFromHub(std::string modelName, std::string revision,
                                      HubApiWrapper hubApi = HubApiWrapper::shared());
    // Reads the configuration files of a local folder; downloads nothing, so `hubApi` goes unused.
    explicit LanguageModelConfigurationFromHub(std::filesystem::path modelFolder,
                                               HubApiWrapper hubApi = HubApiWrapper::shared());

    // Reads one folder's configuration files. Throws HubClientError: configurationMissing without
    // tokenizer.json, the file's own error for a malformed file, fileSystemError for one that cannot be read.
    static Configurations loadConfig(const std::filesystem::path& modelFolder);
    // What a failed load from the hub reports: a transport's "not found" becomes resourceNotFound naming the
    // model, any other transport failure networkError; every other error stays as it is.
    static std::exception_ptr hubLoadingError(std::exception_ptr failure, const std::string& modelName);
    // The tokenizer configuration of loaded files; without a tokenizer class of its own it gets one from the
    // model type ("whisper" gives "WhisperTokenizer").
    static std::optional<Config> completedTokenizerConfig(const Configurations& loaded);

    System::Concurrency::Task<Configurations> configurations() const;
    // The completed tokenizer configuration, as above.
    System::Concurrency::Task<std::optional<Config>> tokenizerConfig() const;
    System::Concurrency::Task<std::optional<std::string>> modelType() const;

private:
    System::Concurrency::TaskHandle<Configurations> configPromise_;
};

} // namespace VuzadoDudi
