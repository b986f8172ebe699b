#include "VuzadoDudi/External/Tokenizers/PostProcessor.h"

#include "VuzadoDudi/External/Tokenizers/ConfigReading.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

using ConfigReading::flag;
using ConfigReading::text;

std::unique_ptr<PostProcessor> PostProcessorFactory::fromConfig(const Config* config) {
    const auto type = ConfigReading::type(config);
    if (!type) {
        return nullptr;
    }
    if (*type == "TemplateProcessing") {
        return std::make_unique<TemplateProcessing>(*config);
    }
    if (*type == "ByteLevel") {
        return std::make_unique<ByteLevelPostProcessor>();
    }
    if (*type == "RobertaProcessing") {
        return std::make_unique<RobertaProcessing>(*config);
    }
    if (*type == "BertProcessing") {
        return std::make_unique<BertProcessing>(*config);
    }
    if (*type == "Sequence") {
        return std::make_unique<SequenceProcessing>(*config);
    }
    throw TokenizerError::invalidDefinition("Unsupported PostProcessor type: " + *type);
}

TemplateProcessing::TemplateProcessing(const Config& config) {
    const Config::Array* single = config["single"].arrayValue();
    if (single == nullptr) {
        throw TokenizerError::invalidDefinition("Missing `single` processor configuration");
    }
    const Config::Array* pair = config["pair"].arrayValue();
    if (pair == nullptr) {
        throw TokenizerError::invalidDefinition("Missing `pair` processor configuration");
    }
    single_ = *single;
    pair_ = *pair;
}

std::vector<std::string>
TemplateProcessing::postProcess(const std::vector<std::string>& tokens,
                                const std::optional<std::vector<std::string>>& tokensPair,
                                bool addSpecialTokens) const {
    const Config::Array& items = tokensPair ? pair_ : single_;
    std::vector<std::string> result;
    for (const Config& item : items) {
        if (auto special = text(item["SpecialToken"], "id")) {
            if (addSpecialTokens) {
                result.push_back(*special);
            }
            continue;
        }
        const auto sequence = text(item["Sequence"], "id");
        if (sequence == "A") {
            result.insert(result.end(), tokens.begin(), tokens.end());
        } else if (sequence == "B" && tokensPair) {
            // A single template naming B has no second list to insert.
            result.insert(result.end(), tokensPair->begin(), tokensPair->end());
        }
    }
    return result;
}

std::optional<PostProcessor::Surrounding> PostProcessor::surrounding(bool) const {
    return std::nullopt;
}

std::optional<PostProcessor::Surrounding> TemplateProcessing::surrounding(bool addSpecialTokens) const {
    Surrounding result;
    bool sequenceSeen = false;
    for (const Config& item : single_) {
        if (auto special = text(item["SpecialToken"], "id")) {
            if (addSpecialTokens) {
                (sequenceSeen ? result.after : result.before).push_back(*special);
            }
        } else if (text(item["Sequence"], "id") == "A") {
            if (sequenceSeen) {
                return std::nullopt;
            }
            sequenceSeen = true;
        }
    }
    if (!sequenceSeen) {
        return std::nullopt;
    }
    return result;
}

namespace {

std::pair<std::uint64_t, std::string> requiredToken(const Config& config, const char* key,
                                                    const char* message) {
    auto token = config[key].token();
    if (!token) {
        throw TokenizerError::invalidDefinition(message);
    }
    return *token;
}

} // namespace

RobertaProcessing::RobertaProcessing(const Config& config)
    : sep_(requiredToken(config, "sep", "Missing `sep` processor configuration"))
    , cls_(requiredToken(config, "cls", "Missing `cls` processor configuration"))
    , trimOffset_(flag(config, "trimOffset", true))
    , addPrefixSpace_(flag(config, "addPrefixSpace", true)) {}

std::string RobertaProcessing::trimmed(const std::string& token) const {
    const auto characters = Unicode::characters(token);
    if (addPrefixSpace_) {
        // At most one white-space character stays on each side. In a token that is all white space the two
        // sides are one run cut from both ends: a lone character stays, anything longer leaves nothing.
        auto white = [&](std::size_t i) {
            return Unicode::isWhitespace(Unicode::firstCodePoint(characters[i]));
        };
        std::size_t leading = 0;
        while (leading < characters.size() && white(leading)) {
            ++leading;
        }
        if (leading == characters.size()) {
            return characters.size() == 1 ? std::string(characters.front()) : std::string();
        }
        std::size_t trailing = 0;
        while (trailing < characters.size() && white(characters.size() - 1 - trailing)) {
            ++trailing;
        }
        const std::size_t begin = leading > 1 ? leading - 1 : 0;
        const std::size_t end = characters.size() - (trailing > 1 ? trailing - 1 : 0);
        std::string out;
        for (std::size_t i = begin; i < end; ++i) {
            out += characters[i];
        }
        return out;
    }
    // Blanks and tabs only: line breaks stay.
    auto blank = [](char32_t c) { return c == U'\t' || Unicode::isSpaceSeparator(c); };
    std::size_t begin = 0;
    std::size_t end = characters.size();
    while (begin < end && blank(Unicode::firstCodePoint(characters[begin]))) {
        ++begin;
    }
    while (end > begin && blank(Unicode::firstCodePoint(characters[end - 1]))) {
        --end;
    }
    std::string out;
    for (std::size_t i = begin; i < end; ++i) {
        out += characters[i];
    }
    return out;
}

std::vector<std::string>
RobertaProcessing::postProcess(const std::vector<std::string>& tokens,
                               const std::optional<std::vector<std::string>>& tokensPair, bool) const {
    auto prepared = [&](const std::vector<std::string>& list) {
        if (!trimOffset_) {
            return list;
        }
        std::vector<std::string> out;
        out.reserve(list.size());
        for (const auto& token : list) {
            out.push_back(trimmed(token));
        }
        return out;
    };
    std::vector<std::string> result{cls_.second};
    for (auto& token : prepared(tokens)) {
        result.push_back(std::move(token));
    }
    result.push_back(sep_.second);
    if (tokensPair && !tokensPair->empty()) {
        result.push_back(sep_.second);
        for (auto& token : prepared(*tokensPair)) {
            result.push_back(std::move(token));
        }
        result.push_back(sep_.second);
    }
    return result;
}

BertProcessing::BertProcessing(const Config& config)
    : sep_(requiredToken(config, "sep", "Missing `sep` processor configuration"))
    , cls_(requiredToken(config, "cls", "Missing `cls` processor configuration")) {}

std::vector<std::string>
BertProcessing::postProcess(const std::vector<std::string>& tokens,
                            const std::optional<std::vector<std::string>>& tokensPair,
                            bool addSpecialTokens) const {
    std::vector<std::string> result;
    if (!addSpecialTokens) {
        result = tokens;
        if (tokensPair) {
            result.insert(result.end(), tokensPair->begin(), tokensPair->end());
        }
        return result;
    }
    result.push_back(cls_.second);
    result.insert(result.end(), tokens.begin(), tokens.end());
    result.push_back(sep_.second);
    if (tokensPair && !tokensPair->empty()) {
        result.insert(result.end(), tokensPair->begin(), tokensPair->end());
        result.push_back(sep_.second);
    }
    return result;
}

SequenceProcessing::SequenceProcessing(const Config& config) {
    const Config::Array* elements = config["processors"].arrayValue();
    if (elements == nullptr) {
        throw TokenizerError::invalidDefinition("Missing `processors` configuration");
    }
    for (const Config& element : *elements) {
        if (auto processor = PostProcessorFactory::fromConfig(&element)) {
            processors_.push_back(std::move(processor));
        }
    }
}

std::vector<std::string>
SequenceProcessing::postProcess(const std::vector<std::string>& tokens,
                                const std::optional<std::vector<std::string>>& tokensPair,
                                bool addSpecialTokens) const {
    if (processors_.empty()) {
        return tokens;
    }
    std::vector<std::string> result = processors_.front()->postProcess(tokens, tokensPair, addSpecialTokens);
    for (std::size_t i = 1; i < processors_.size(); ++i) {
        result = processors_[i]->postProcess(result, std::nullopt, addSpecialTokens);
    }
    return result;
}

} // namespace VuzadoDudi
