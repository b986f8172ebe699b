#include "VuzadoDudi/External/Tokenizers/Tokenizer.h"

#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"

namespace VuzadoDudi {

namespace {
template <class Out, class In, class Convert>
std::vector<Out> mapped(const std::vector<In>& values, Convert convert) {
    std::vector<Out> out;
    out.reserve(values.size());
    for (const auto& value : values) {
        out.push_back(convert(value));
    }
    return out;
}
} // namespace

std::vector<std::optional<int>> Tokenizer::convertTokensToIds(const std::vector<std::string>& tokens) const {
    return mapped<std::optional<int>>(tokens, [this](const std::string& t) { return convertTokenToId(t); });
}

std::vector<std::optional<std::string>> Tokenizer::convertIdsToTokens(const std::vector<int>& ids) const {
    return mapped<std::optional<std::string>>(ids, [this](int id) { return convertIdToToken(id); });
}

void TokenizingModel::tokenize(const std::string& text, std::vector<std::string>& tokens) const {
    for (auto& token : tokenize(text)) {
        tokens.push_back(std::move(token));
    }
}

void TokenizingModel::encode(const std::string& text, std::vector<int>& ids) const {
    for (const auto& token : tokenize(text)) {
        ids.push_back(requiredTokenId(token));
    }
}

int TokenizingModel::requiredTokenId(const std::string& token) const {
    const auto id = convertTokenToId(token);
    if (!id) {
        throw TokenizerError::missingTokenId(token);
    }
    return *id;
}

std::vector<std::optional<int>>
TokenizingModel::convertTokensToIds(const std::vector<std::string>& tokens) const {
    return mapped<std::optional<int>>(tokens, [this](const std::string& t) { return convertTokenToId(t); });
}

std::vector<std::optional<std::string>>
TokenizingModel::convertIdsToTokens(const std::vector<int>& ids) const {
    return mapped<std::optional<std::string>>(ids, [this](int id) { return convertIdToToken(id); });
}

std::optional<std::string> addedTokenAsString(const Config* config) {
    if (config == nullptr) {
        return std::nullopt;
    }
    if (auto text = config->string()) {
        return text;
    }
    return (*config)["content"].string();
}

std::optional<std::string> TokenizerModel::unknownToken(const Config& tokenizerConfig) {
    const Config& value = tokenizerConfig["unkToken"];
    if (auto content = value["content"].string()) {
        return content;
    }
    return value.string();
}

} // namespace VuzadoDudi
