#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"

#include <cstdio>
#include <map>

#include "VuzadoDudi/External/Tokenizers/BPETokenizer.h"
#include "VuzadoDudi/External/Tokenizers/BertTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/LlamaPreTrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/StringSplitting.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/External/Tokenizers/UnigramTokenizer.h"

namespace VuzadoDudi {

namespace {

std::optional<std::string> className(const Config& tokenizerConfig) {
    auto name = tokenizerConfig["tokenizerClass"].string();
    if (!name) {
        return std::nullopt;
    }
    return replacingOccurrences(*name, "Fast", "");
}

enum class ModelKind { bpe, wordPiece, unigram, t5 };

const std::map<std::string, ModelKind>& modelClasses() {
    static const std::map<std::string, ModelKind> table = {
        {"BertTokenizer", ModelKind::wordPiece},
        {"CodeGenTokenizer", ModelKind::bpe},
        {"CodeLlamaTokenizer", ModelKind::bpe},
        {"CohereTokenizer", ModelKind::bpe},
        {"DistilbertTokenizer", ModelKind::wordPiece},
        {"DistilBertTokenizer", ModelKind::wordPiece},
        {"FalconTokenizer", ModelKind::bpe},
        {"GemmaTokenizer", ModelKind::bpe},
        {"GPT2Tokenizer", ModelKind::bpe},
        {"LlamaTokenizer", ModelKind::bpe},
        {"RobertaTokenizer", ModelKind::bpe},
        {"T5Tokenizer", ModelKind::t5},
        {"TokenizersBackend", ModelKind::bpe},
        {"PreTrainedTokenizer", ModelKind::bpe},
        {"Qwen2Tokenizer", ModelKind::bpe},
        {"WhisperTokenizer", ModelKind::bpe},
        {"XLMRobertaTokenizer", ModelKind::unigram},
    };
    return table;
}

std::unique_ptr<PreTrainedTokenizer> constructGeneral(const Config& config, const Config& data, bool strict) {
    return std::make_unique<PreTrainedTokenizer>(config, data, strict);
}

} // namespace

AutoTokenizer::TokenizerClass AutoTokenizer::tokenizerClass(const Config& tokenizerConfig) {
    if (className(tokenizerConfig) == "LlamaTokenizer") {
        return [](const Config& config, const Config& data, bool strict) -> std::unique_ptr<PreTrainedTokenizer> {
            return std::make_unique<LlamaPreTrainedTokenizer>(config, data, strict);
        };
    }
    return constructGeneral;
}

std::unique_ptr<TokenizingModel> TokenizerModel::from(const Config& tokenizerConfig, const Config& tokenizerData,
                                                      const AddedTokens& addedTokens, bool strict) {
    const auto name = className(tokenizerConfig);
    if (!name) {
        throw TokenizerError::missingTokenizerClassInConfig();
    }
    const auto& table = modelClasses();
    auto found = table.find(*name);
    ModelKind kind = ModelKind::bpe;
    if (found == table.end()) {
        if (strict) {
            throw TokenizerError::unsupportedTokenizer(*name);
        }
        std::printf("Warning: Tokenizer model class %s is not registered, falling back to a standard BPE "
                    "implementation.\n",
                    name->c_str());
        std::fflush(stdout);
    } else {
        kind = found->second;
    }
    switch (kind) {
    case ModelKind::bpe:
        return std::make_unique<BPETokenizer>(tokenizerConfig, tokenizerData, addedTokens);
    case ModelKind::wordPiece:
        return std::make_unique<BertTokenizer>(tokenizerConfig, tokenizerData, addedTokens);
    case ModelKind::unigram:
        return std::make_unique<UnigramTokenizer>(tokenizerConfig, tokenizerData, addedTokens);
    case ModelKind::t5:
        return std::make_unique<T5Tokenizer>(tokenizerConfig, tokenizerData, addedTokens);
    }
    throw TokenizerError::unsupportedTokenizer(*name);
}

} // namespace VuzadoDudi
