#include "VuzadoDudi/External/Tokenizers/TokenizerWrapper.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"

namespace VuzadoDudi {

namespace {

// The file as a configuration object, or nothing when the folder lacks it.
std::optional<Config> readConfiguration(const std::filesystem::path& file) {
    std::ifstream stream(file, std::ios::binary);
    if (!stream) {
        if (!std::filesystem::exists(file)) {
            return std::nullopt;
        }
        throw ConfigError("The file " + file.string() + " cannot be read.");
    }
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    Config config = Config::parseJSON(bytes.str());
    if (config.kind() != Config::Kind::dictionary) {
        throw ConfigError("The file " + file.string() + " does not hold a JSON object.");
    }
    return config;
}

} // namespace

TokenizerWrapper AutoTokenizerWrapper::from(const Config& tokenizerConfig, const Config& tokenizerData, bool strict) {
    const auto construct = AutoTokenizer::tokenizerClass(tokenizerConfig);
    return TokenizerWrapper{construct(tokenizerConfig, tokenizerData, strict)};
}

TokenizerWrapper AutoTokenizerWrapper::from(const std::filesystem::path& modelFolder, bool strict) {
    auto tokenizerConfig = readConfiguration(modelFolder / "tokenizer_config.json");
    if (!tokenizerConfig) {
        throw TokenizerError::missingConfig();
    }
    // A configuration without a class takes the one the model's type implies ("whisper" -> WhisperTokenizer).
    if (!(*tokenizerConfig)["tokenizerClass"].string()) {
        if (const auto modelConfig = readConfiguration(modelFolder / "config.json")) {
            if (auto modelType = (*modelConfig)["modelType"].string(); modelType && !modelType->empty()) {
                (*modelType)[0] = static_cast<char>(std::toupper(static_cast<unsigned char>((*modelType)[0])));
                Config::Dictionary entries = *tokenizerConfig->dictionaryValue();
                entries.insert_or_assign("tokenizer_class", *modelType + "Tokenizer");
                tokenizerConfig = Config(std::move(entries));
            }
        }
    }
    const auto tokenizerData = readConfiguration(modelFolder / "tokenizer.json");
    if (!tokenizerData) {
        throw TokenizerError::missingVocab();
    }
    return from(*tokenizerConfig, *tokenizerData, strict);
}

} // namespace VuzadoDudi
