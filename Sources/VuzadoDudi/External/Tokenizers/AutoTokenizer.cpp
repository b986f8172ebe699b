#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"

#include <cstdio>
#include <map>

#include "VuzadoDudi/External/Tokenizers/BPETokenizer.h"
#include "VuzadoDudi/External/Tokenizers/StringSplitting.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"

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
    const auto name = className(tokenizerConfig);
    // The legacy-aware variant of "LlamaTokenizer" rewrites the definition before construction; until it is
    // part of this build such a tokenizer is refused rather than built with the wrong pre-tokenizer.
    if (name == "LlamaTokenizer") {
        return [](const Config&, const Config&, bool) -> std::unique_ptr<PreTrainedTokenizer> {
            throw TokenizerError::unsupportedTokenizer("LlamaTokenizer");
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
    case ModelKind::unigram:
    case ModelKind::t5:
        // Their vocabulary models are not part of this build.
        throw TokenizerError::unsupportedTokenizer(*name);
    }
    throw TokenizerError::unsupportedTokenizer(*name);
}

} // namespace VuzadoDudi
