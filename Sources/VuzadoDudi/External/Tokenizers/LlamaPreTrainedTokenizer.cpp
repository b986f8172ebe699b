#include "VuzadoDudi/External/Tokenizers/LlamaPreTrainedTokenizer.h"

#include "VuzadoDudi/External/Tokenizers/ConfigReading.h"
#include "VuzadoDudi/External/Tokenizers/StringSplitting.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"

namespace VuzadoDudi {

namespace {

bool legacyIn(const Config& tokenizerConfig) { return ConfigReading::flag(tokenizerConfig, "legacy", true); }

// The definition as the general tokenizer is to see it. Only the top level is copied; its sections are shared.
Config rewrittenDefinition(const Config& tokenizerConfig, const Config& tokenizerData) {
    Config::Dictionary entries;
    if (const Config::Dictionary* original = tokenizerData.dictionaryValue()) {
        entries = *original;
    }
    if (!legacyIn(tokenizerConfig)) {
        entries.erase("normalizer");
        entries.insert_or_assign("pre_tokenizer", Config::dictionary({
                                                      {"type", "Metaspace"},
                                                      {"replacement", LlamaPreTrainedTokenizer::metaspace},
                                                      {"add_prefix_space", true},
                                                      {"prepend_scheme", "first"},
                                                  }));
    }
    if (const auto processor = maybeUpdatePostProcessor(tokenizerConfig, &tokenizerData["postProcessor"])) {
        const Config::Dictionary* section = processor->dictionaryValue();
        entries.insert_or_assign("post_processor", section != nullptr ? *processor : Config(Config::Dictionary{}));
    }
    return Config(std::move(entries));
}

Config specialTokenItem(const std::string& id, int typeId) {
    return Config::dictionary({{"SpecialToken", Config::dictionary({{"id", id}, {"type_id", typeId}})}});
}

Config sequenceItem(const char* id, int typeId) {
    return Config::dictionary({{"Sequence", Config::dictionary({{"id", id}, {"type_id", typeId}})}});
}

} // namespace

std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig, const Config* processorConfig) {
    if (dynamic_cast<TemplateProcessing*>(PostProcessorFactory::fromConfig(processorConfig).get()) != nullptr) {
        return std::nullopt;
    }
    const bool addBos = ConfigReading::flag(tokenizerConfig, "addBosToken", false);
    const auto bos = addedTokenAsString(&tokenizerConfig["bosToken"]);
    if (addBos && !bos) {
        throw TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil");
    }
    const bool addEos = ConfigReading::flag(tokenizerConfig, "addEosToken", false);
    const auto eos = addedTokenAsString(&tokenizerConfig["eosToken"]);
    if (addEos && !eos) {
        throw TokenizerError::mismatchedConfig("add_eos_token is True but eos_token is nil");
    }
    const auto sequence = [&](const char* id, int typeId) {
        Config::Array items;
        if (addBos) {
            items.push_back(specialTokenItem(*bos, typeId));
        }
        items.push_back(sequenceItem(id, typeId));
        if (addEos) {
            items.push_back(specialTokenItem(*eos, typeId));
        }
        return items;
    };
    Config::Array single = sequence("A", 0);
    Config::Array pair = single;
    for (auto& item : sequence("B", 1)) {
        pair.push_back(std::move(item));
    }
    return Config::dictionary({
        {"type", "TemplateProcessing"},
        {"single", Config(std::move(single))},
        {"pair", Config(std::move(pair))},
    });
}

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                                   bool strict)
    : PreTrainedTokenizer(tokenizerConfig, rewrittenDefinition(tokenizerConfig, tokenizerData), strict)
    , isLegacy_(legacyIn(tokenizerConfig)) {}

std::vector<std::string> LlamaPreTrainedTokenizer::tokenize(const std::string& text) const {
    if (isLegacy_ || text.empty()) {
        return PreTrainedTokenizer::tokenize(text);
    }
    auto tokens = PreTrainedTokenizer::tokenize(metaspace + replacingOccurrences(text, metaspace, " "));
    if (tokens.size() >= 2 && tokens[0] == metaspace && specialTokens().contains(tokens[1])) {
        tokens.erase(tokens.begin());
    }
    return tokens;
}

} // namespace VuzadoDudi
