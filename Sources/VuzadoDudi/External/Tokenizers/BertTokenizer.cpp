#include "VuzadoDudi/External/Tokenizers/BertTokenizer.h"

#include <limits>

#include <unicode/utf8.h>

#include "VuzadoDudi/External/Tokenizers/ConfigReading.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

namespace {

bool isASCII(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

// ASCII text is its own decomposition; only other text pays for the normalisation.
std::string canonicalKey(std::string_view text) {
    return isASCII(text) ? std::string(text) : Unicode::normalized(text, Unicode::NormalizationForm::nfd);
}

std::optional<int> asId(const Config& value) {
    const auto id = value.integer();
    if (!id || *id < std::numeric_limits<int>::min() || *id > std::numeric_limits<int>::max()) {
        return std::nullopt;
    }
    return static_cast<int>(*id);
}

// ASCII symbols count as punctuation too: "$", "+", "<", "=", ">", "^", "`", "|", "~".
bool isPunctuation(std::string_view character) {
    const char32_t c = Unicode::firstCodePoint(character);
    return (c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96) || (c >= 123 && c <= 126) ||
           Unicode::isPunctuation(c);
}

WordPieceVocabulary vocabularyFrom(const Config& tokenizerData, const AddedTokens& addedTokens) {
    const Config::Dictionary* entries = tokenizerData["model"]["vocab"].dictionaryValue();
    if (entries == nullptr) {
        throw TokenizerError::missingVocab();
    }
    WordPieceVocabulary vocab;
    for (const auto& [token, value] : *entries) {
        if (const auto id = asId(value)) {
            vocab.assign(token.string(), *id);
        }
    }
    // The definition's added tokens override the model's ids, and the pipeline's override both.
    if (const Config::Array* added = tokenizerData["addedTokens"].arrayValue()) {
        for (const Config& element : *added) {
            const auto id = asId(element["id"]);
            const auto content = element["content"].string();
            if (element.dictionaryValue() != nullptr && id && content) {
                vocab.assign(*content, *id);
            }
        }
    }
    for (const auto& [content, id] : addedTokens) {
        vocab.assign(content, id);
    }
    return vocab;
}

} // namespace

void WordPieceVocabulary::assign(std::string_view text, int id) {
    ids_.insert_or_assign(canonicalKey(text), Entry{std::string(text), id});
}

std::optional<int> WordPieceVocabulary::id(std::string_view text) const {
    const auto found = isASCII(text) ? ids_.find(text) : ids_.find(canonicalKey(text));
    if (found == ids_.end()) {
        return std::nullopt;
    }
    return found->second.id;
}

std::unordered_map<int, std::string> WordPieceVocabulary::inverted() const {
    std::unordered_map<int, std::string> texts;
    texts.reserve(ids_.size());
    for (const auto& [key, entry] : ids_) {
        texts[entry.id] = entry.text;
    }
    return texts;
}

BasicTokenizer::BasicTokenizer(bool doLowerCase)
    : doLowerCase_(doLowerCase) {}

const std::vector<std::string>& BasicTokenizer::neverSplit() {
    static const std::vector<std::string> texts = {"[UNK]", "[SEP]", "[PAD]", "[CLS]", "[MASK]"};
    return texts;
}

std::vector<std::string> BasicTokenizer::tokenize(const std::string& input) const {
    const std::string text = doLowerCase_ ? Unicode::foldingDiacritics(input) : input;
    std::vector<std::string> words;
    const auto addWordsOf = [&](std::string_view part) {
        if (part.empty()) {
            return;
        }
        for (const auto& special : neverSplit()) {
            if (part == special) {
                words.emplace_back(part);
                return;
            }
        }
        const std::string cased = doLowerCase_ ? Unicode::lowercased(part) : std::string(part);
        std::string word;
        for (const auto character : Unicode::characters(cased)) {
            if (isPunctuation(character)) {
                if (!word.empty()) {
                    words.push_back(std::move(word));
                    word.clear();
                }
                words.emplace_back(character);
            } else {
                word += character;
            }
        }
        if (!word.empty()) {
            words.push_back(std::move(word));
        }
    };
    // Every white-space code point separates words, line breaks as well as blanks and tabs: "a\nb" is two
    // words, as the definition format means.
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t partBegin = 0;
    int32_t at = 0;
    while (at < length) {
        const int32_t begin = at;
        UChar32 c;
        U8_NEXT(bytes, at, length, c);
        if (c >= 0 && Unicode::isWhitespace(static_cast<char32_t>(c))) {
            addWordsOf(std::string_view(text).substr(static_cast<std::size_t>(partBegin),
                                                     static_cast<std::size_t>(begin - partBegin)));
            partBegin = at;
        }
    }
    addWordsOf(std::string_view(text).substr(static_cast<std::size_t>(partBegin)));
    return words;
}

std::vector<std::string> WordpieceTokenizer::tokenize(const std::string& word) const {
    std::vector<std::string> tokens;
    tokenize(word, tokens);
    return tokens;
}

void WordpieceTokenizer::tokenize(std::string_view word, std::vector<std::string>& tokens) const {
    const auto characters = Unicode::characters(word);
    if (characters.empty()) {
        return;
    }
    if (characters.size() > maxInputCharsPerWord) {
        tokens.emplace_back(unkToken);
        return;
    }
    const auto firstOutput = tokens.size();
    std::string candidate;
    std::size_t start = 0;
    while (start < characters.size()) {
        const char* begin = characters[start].data();
        bool found = false;
        for (std::size_t end = characters.size(); end > start; --end) {
            const char* last = characters[end - 1].data() + characters[end - 1].size();
            candidate.assign(start > 0 ? "##" : "");
            candidate.append(begin, static_cast<std::size_t>(last - begin));
            if (vocab_.contains(candidate)) {
                tokens.push_back(candidate);
                start = end;
                found = true;
                break;
            }
        }
        if (!found) {
            // A word covered only in part is unknown as a whole.
            tokens.resize(firstOutput);
            tokens.emplace_back(unkToken);
            return;
        }
    }
}

BertTokenizer::BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens& addedTokens)
    : BertTokenizer(vocabularyFrom(tokenizerData, addedTokens),
                    ConfigReading::flag(tokenizerConfig, "handleChineseChars", true),
                    tokenizerConfig["bosToken"].string(), tokenizerConfig["eosToken"].string(),
                    ConfigReading::flag(tokenizerConfig, "fuseUnk", false),
                    ConfigReading::flag(tokenizerConfig, "doLowerCase", true)) {}

BertTokenizer::BertTokenizer(const std::vector<std::pair<std::string, int>>& vocab, bool tokenizeChineseChars,
                             std::optional<std::string> bosToken, std::optional<std::string> eosToken,
                             bool fuseUnknownTokens, bool doLowerCase)
    : BertTokenizer(
          [&] {
              WordPieceVocabulary entries;
              for (const auto& [text, id] : vocab) {
                  entries.assign(text, id);
              }
              return entries;
          }(),
          tokenizeChineseChars, std::move(bosToken), std::move(eosToken), fuseUnknownTokens, doLowerCase) {}

BertTokenizer::BertTokenizer(WordPieceVocabulary vocab, bool tokenizeChineseChars, std::optional<std::string> bosToken,
                             std::optional<std::string> eosToken, bool fuseUnknownTokens, bool doLowerCase)
    : vocab_(std::move(vocab))
    , idsToTokens_(vocab_.inverted())
    , basicTokenizer_(doLowerCase)
    , wordpieceTokenizer_(vocab_)
    , tokenizeChineseChars_(tokenizeChineseChars)
    , bosToken_(std::move(bosToken))
    , eosToken_(std::move(eosToken))
    , unknownTokenId_(vocab_.id(WordpieceTokenizer::unkToken))
    , fuseUnknownTokens_(fuseUnknownTokens) {
    if (bosToken_) {
        bosTokenId_ = vocab_.id(*bosToken_);
    }
    if (eosToken_) {
        eosTokenId_ = vocab_.id(*eosToken_);
    }
}

std::vector<std::string> BertTokenizer::tokenize(const std::string& text) const {
    std::vector<std::string> tokens;
    tokenize(text, tokens);
    return tokens;
}

void BertTokenizer::tokenize(const std::string& text, std::vector<std::string>& tokens) const {
    const std::string separated = tokenizeChineseChars_ ? Unicode::isolatingCJKIdeographs(text) : text;
    for (const auto& word : basicTokenizer_.tokenize(separated)) {
        wordpieceTokenizer_.tokenize(word, tokens);
    }
}

std::optional<int> BertTokenizer::convertTokenToId(const std::string& token) const {
    if (auto id = vocab_.id(token)) {
        return id;
    }
    return unknownTokenId_;
}

std::optional<std::string> BertTokenizer::convertIdToToken(int id) const {
    const auto found = idsToTokens_.find(id);
    if (found == idsToTokens_.end()) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace VuzadoDudi
