#include "VuzadoDudi/External/Tokenizers/PreTrainedTokenizer.h"

#include <algorithm>
#include <limits>

#include "VuzadoDudi/External/Tokenizers/AutoTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/ConfigReading.h"
#include "VuzadoDudi/External/Tokenizers/StringSplitting.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

namespace {

// Bytes that are no UTF-8 become U+FFFD, so every step after sees text.
std::string validUTF8(const std::string& input) {
    return Unicode::isValidUTF8(input) ? input : Unicode::toUTF8(Unicode::toUTF16(input));
}

} // namespace

PreTrainedTokenizer::PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                         bool strict)
    : tokenizerConfig_(tokenizerConfig) {
    AddedTokens addedTokenIds;
    std::vector<AddedTokenMatcher::Entry> entries;
    if (const Config::Array* added = tokenizerData["addedTokens"].arrayValue()) {
        for (const Config& element : *added) {
            const auto id = element["id"].integer();
            const auto content = element["content"].string();
            if (id && content && *id >= std::numeric_limits<int>::min() &&
                *id <= std::numeric_limits<int>::max()) {
                addedTokenIds[*content] = static_cast<int>(*id);
                if (element["special"].boolean().value_or(false)) {
                    specialTokens_[*content] = static_cast<int>(*id);
                }
            }
            if (element.dictionaryValue() != nullptr && content) {
                entries.push_back({*content, ConfigReading::flag(element, "lstrip", false),
                                   ConfigReading::flag(element, "rstrip", false)});
            }
        }
    }
    // Longer contents first, so a token is never cut short by one that is its prefix; equal lengths keep
    // their file order.
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return Unicode::characterCount(a.content) > Unicode::characterCount(b.content);
    });
    if (std::any_of(entries.begin(), entries.end(), [](const auto& e) { return !e.content.empty(); })) {
        addedTokensMatcher_ = std::make_unique<AddedTokenMatcher>(entries);
    }
    for (const auto& [content, id] : addedTokenIds) {
        addedTokens_.insert(content);
        addedTokensDecomposed_.insert(Unicode::normalized(content, Unicode::NormalizationForm::nfd));
        longestAddedToken_ = std::max(longestAddedToken_, content.size());
    }
    for (const auto& [content, id] : specialTokens_) {
        specialTokenIds_.insert(id);
    }

    preTokenizer_ = PreTokenizerFactory::fromConfig(&tokenizerData["preTokenizer"]);
    normalizer_ = NormalizerFactory::fromConfig(&tokenizerData["normalizer"]);
    postProcessor_ = PostProcessorFactory::fromConfig(&tokenizerData["postProcessor"]);
    decoder_ = DecoderFactory::fromConfig(&tokenizerData["decoder"], &addedTokens_);
    cleanUpTokenizationSpaces_ = tokenizerConfig["cleanUpTokenizationSpaces"].boolean().value_or(true);
    model_ = TokenizerModel::from(tokenizerConfig, tokenizerData, addedTokenIds, strict);
}

bool PreTrainedTokenizer::isAddedToken(std::string_view section) const {
    if (addedTokens_.contains(std::string(section))) {
        return true;
    }
    // The platform's text equality: a canonically equivalent section is the token too. Normalisation can
    // triple a text's length at most, so longer sections need no look.
    if (addedTokens_.empty() || section.size() > longestAddedToken_ * 3 + 4) {
        return false;
    }
    return addedTokensDecomposed_.contains(Unicode::normalized(section, Unicode::NormalizationForm::nfd));
}

std::vector<std::string> PreTrainedTokenizer::preTokenize(const std::string& text,
                                                          PreTokenizerOptions options) const {
    if (!preTokenizer_) {
        return {text};
    }
    return preTokenizer_->preTokenize(text, options);
}

std::string PreTrainedTokenizer::normalize(const std::string& text) const {
    return normalizer_ ? normalizer_->normalize(text) : text;
}

std::vector<std::string> PreTrainedTokenizer::postProcess(const std::vector<std::string>& tokens,
                                                          bool addSpecialTokens) const {
    return postProcessor_ ? postProcessor_->postProcess(tokens, std::nullopt, addSpecialTokens) : tokens;
}

std::vector<std::string> PreTrainedTokenizer::decodeTokens(const std::vector<std::string>& tokens) const {
    return decoder_ ? decoder_->decode(tokens) : tokens;
}

std::vector<std::string> PreTrainedTokenizer::fuseUnknown(const std::vector<std::string>& tokens) const {
    if (!model_->fuseUnknownTokens()) {
        return tokens;
    }
    const auto unknownId = model_->unknownTokenId();
    std::vector<std::string> result;
    bool previousWasUnknown = false;
    for (const auto& token : tokens) {
        if (model_->convertTokenToId(token) != unknownId) {
            result.push_back(token);
            previousWasUnknown = false;
        } else {
            if (!previousWasUnknown) {
                result.push_back(token);
            }
            previousWasUnknown = true;
        }
    }
    return result;
}

std::vector<AddedTokenMatcher::Piece> PreTrainedTokenizer::sections(const std::string& text) const {
    if (addedTokensMatcher_) {
        return addedTokensMatcher_->split(text);
    }
    if (text.empty()) {
        return {};
    }
    return {{text, false}};
}

void PreTrainedTokenizer::forEachModelPiece(std::string_view section, std::size_t index,
                                            const std::function<void(const std::string&)>& use) const {
    const std::string normalized = normalize(std::string(section));
    if (!preTokenizer_) {
        use(normalized);
        return;
    }
    preTokenizer_->forEachPiece(normalized, {.firstSection = index == 0}, use);
}

std::vector<std::string> PreTrainedTokenizer::tokenize(const std::string& input) const {
    const std::string text = validUTF8(input);
    const auto pieces = sections(text);
    std::vector<std::string> result;
    result.reserve(text.size() / 3 + 4);
    for (std::size_t index = 0; index < pieces.size(); ++index) {
        const std::string section(pieces[index].text);
        // Without fusing, a section's tokens go straight into the result.
        const bool fusing = model_->fuseUnknownTokens();
        std::vector<std::string> sectionTokens;
        std::vector<std::string>& tokens = fusing ? sectionTokens : result;
        if (isAddedToken(section)) {
            tokens.push_back(section);
        } else {
            forEachModelPiece(section, index,
                              [&](const std::string& piece) { model_->tokenize(piece, tokens); });
        }
        if (fusing) {
            for (auto& token : fuseUnknown(sectionTokens)) {
                result.push_back(std::move(token));
            }
        }
    }
    return result;
}

std::vector<int> PreTrainedTokenizer::encode(const std::string& text, bool addSpecialTokens) const {
    std::optional<PostProcessor::Surrounding> around;
    if (!postProcessor_) {
        around.emplace();
    } else {
        around = postProcessor_->surrounding(addSpecialTokens);
    }
    if (!around || model_->fuseUnknownTokens()) {
        return encodeTokens(tokenize(text), addSpecialTokens);
    }
    // The model's ids straight away: a text string per token, only to look its id up, would cost more than
    // the merging.
    const std::string valid = validUTF8(text);
    const auto pieces = sections(valid);
    std::vector<int> ids;
    // Byte-level models give at most one id per byte. Pages of the list that stay unused are never touched,
    // so text of few ids per byte pays little for the room.
    ids.reserve(valid.size() + around->before.size() + around->after.size());
    for (const auto& token : around->before) {
        ids.push_back(model_->requiredTokenId(token));
    }
    for (std::size_t index = 0; index < pieces.size(); ++index) {
        const std::string section(pieces[index].text);
        if (isAddedToken(section)) {
            ids.push_back(model_->requiredTokenId(section));
        } else {
            forEachModelPiece(section, index, [&](const std::string& piece) { model_->encode(piece, ids); });
        }
    }
    for (const auto& token : around->after) {
        ids.push_back(model_->requiredTokenId(token));
    }
    return ids;
}

std::vector<int> PreTrainedTokenizer::encodeTokens(std::vector<std::string> tokens,
                                                   bool addSpecialTokens) const {
    if (postProcessor_) {
        tokens = postProcessor_->postProcess(tokens, std::nullopt, addSpecialTokens);
    }
    std::vector<int> ids;
    ids.reserve(tokens.size());
    for (const auto& token : tokens) {
        ids.push_back(model_->requiredTokenId(token));
    }
    return ids;
}

std::string PreTrainedTokenizer::decode(const std::vector<int>& ids, bool skipSpecialTokens) const {
    std::vector<std::string> tokens;
    tokens.reserve(ids.size());
    for (const int id : ids) {
        if (skipSpecialTokens && specialTokenIds_.contains(id)) {
            continue;
        }
        if (auto token = model_->convertIdToToken(id)) {
            tokens.push_back(std::move(*token));
        }
    }
    std::string text;
    for (const auto& piece : decodeTokens(tokens)) {
        text += piece;
    }
    return cleanUp(text);
}

std::string PreTrainedTokenizer::cleanUp(const std::string& text) const {
    if (!cleanUpTokenizationSpaces_) {
        return text;
    }
    static const std::pair<const char*, const char*> replacements[] = {
        {" .", "."},     {" ?", "?"},   {" !", "!"},   {" ,", ","},     {" ' ", "'"},
        {" n't", "n't"}, {" 'm", "'m"}, {" 's", "'s"}, {" 've", "'ve"}, {" 're", "'re"},
    };
    std::string result = text;
    for (const auto& [from, to] : replacements) {
        result = replacingOccurrences(result, from, to);
    }
    return result;
}

std::optional<int> PreTrainedTokenizer::convertTokenToId(const std::string& token) const {
    return model_->convertTokenToId(token);
}

std::optional<std::string> PreTrainedTokenizer::convertIdToToken(int id) const {
    return model_->convertIdToToken(id);
}

} // namespace VuzadoDudi
