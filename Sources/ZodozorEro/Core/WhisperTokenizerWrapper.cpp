#include "ZodozorEro/Core/WhisperTokenizerWrapper.h"

#include <algorithm>
#include <array>

#include "VuzadoDudi/Unicode.h"
#include "ZodozorEro/Core/Constants.h"
#include "ZodozorEro/Utilities/LanguageRecognizer.h"

namespace ZodozorEro {

namespace {

constexpr char32_t replacementCharacter = U'\uFFFD';

// Languages written without spaces between words.
constexpr std::array<std::string_view, 6> unspacedLanguages = {"zh", "ja", "th", "lo", "my", "yue"};

// Whether the text, trimmed of whitespace, is one punctuation character.
bool isLonePunctuation(std::string_view text) {
    std::u32string points = VuzadoDudi::Unicode::codePoints(text);
    const auto isWhitespace = [](char32_t c) { return VuzadoDudi::Unicode::isWhitespace(c); };
    points.erase(points.begin(), std::find_if_not(points.begin(), points.end(), isWhitespace));
    points.erase(std::find_if_not(points.rbegin(), points.rend(), isWhitespace).base(), points.end());
    if (points.empty()) {
        return false;
    }
    std::string trimmed;
    for (char32_t c : points) {
        VuzadoDudi::Unicode::appendUTF8(trimmed, c);
    }
    return VuzadoDudi::Unicode::characterCount(trimmed) == 1 &&
           VuzadoDudi::Unicode::isPunctuation(points.front());
}

// The id the vocabulary holds for `text`, or none. A model answers a text it lacks with its unknown token's
// id; read as an id, that would put the unknown token (in English-only vocabularies the end of text) in place
// of every control and language token the vocabulary does not have.
std::optional<int> vocabularyId(const VuzadoDudi::TokenizerWrapper& tokenizer, const std::string& text) {
    const std::optional<int> id = tokenizer.convertTokenToId(text);
    if (id && id == tokenizer.unknownTokenId() && tokenizer.convertIdToToken(*id) != text) {
        return std::nullopt;
    }
    return id;
}

} // namespace

WhisperTokenizerWrapper::WhisperTokenizerWrapper(VuzadoDudi::TokenizerWrapper tokenizer,
                                                 std::optional<std::filesystem::path> tokenizerFolder)
    : tokenizer_(std::move(tokenizer))
    , tokenizerFolder_(std::move(tokenizerFolder)) {
    const auto id = [&](const char* text, int fallback) {
        return vocabularyId(tokenizer_, text).value_or(fallback);
    };
    const SpecialTokens standard;
    specialTokens_ = SpecialTokens{
        .endToken = id("<|endoftext|>", standard.endToken),
        .englishToken = id("<|en|>", standard.englishToken),
        .noSpeechToken = id("<|nospeech|>", standard.noSpeechToken),
        .noTimestampsToken = id("<|notimestamps|>", standard.noTimestampsToken),
        .specialTokenBegin = id("<|endoftext|>", standard.specialTokenBegin),
        .startOfPreviousToken = id("<|startofprev|>", standard.startOfPreviousToken),
        .startOfTranscriptToken = id("<|startoftranscript|>", standard.startOfTranscriptToken),
        .timeTokenBegin = id("<|0.00|>", standard.timeTokenBegin),
        .transcribeToken = id("<|transcribe|>", standard.transcribeToken),
        .translateToken = id("<|translate|>", standard.translateToken),
        .whitespaceToken = id(" ", standard.whitespaceToken),
    };
    for (const auto& [name, code] : Constants::languages()) {
        const auto token = vocabularyId(tokenizer_, "<|" + code + "|>");
        if (token && *token > specialTokens_.specialTokenBegin) {
            allLanguageTokens_.insert(*token);
        }
    }
}

std::vector<int> WhisperTokenizerWrapper::encode(const std::string& text) const {
    return tokenizer_.encode(text);
}

std::string WhisperTokenizerWrapper::decode(const std::vector<int>& tokens) const {
    return tokenizer_.decode(tokens);
}

std::optional<int> WhisperTokenizerWrapper::convertTokenToId(const std::string& token) const {
    return vocabularyId(tokenizer_, token);
}

std::optional<std::string> WhisperTokenizerWrapper::convertIdToToken(int id) const {
    return tokenizer_.convertIdToToken(id);
}

WordTokens WhisperTokenizerWrapper::splitToWordTokens(const std::vector<int>& tokenIds) const {
    std::vector<int> textTokens;
    std::copy_if(tokenIds.begin(), tokenIds.end(), std::back_inserter(textTokens),
                 [&](int token) { return token < specialTokens_.specialTokenBegin; });
    const std::optional<std::string> language = dominantLanguage(decode(textTokens));
    if (language &&
        std::find(unspacedLanguages.begin(), unspacedLanguages.end(), *language) != unspacedLanguages.end()) {
        return splitTokensOnUnicode(tokenIds);
    }
    return splitTokensOnSpaces(tokenIds);
}

WordTokens WhisperTokenizerWrapper::splitTokensOnUnicode(const std::vector<int>& tokenIds) const {
    // Positions count code points: a group's text is then exactly its stretch of the full text, which does
    // not hold for user-perceived characters (a base letter and its accent decoded from separate tokens are
    // two in their groups but one in the full text).
    const std::u32string fullText = VuzadoDudi::Unicode::codePoints(decode(tokenIds));
    WordTokens split;
    std::vector<int> current;
    std::size_t offset = 0;
    for (std::size_t index = 0; index < tokenIds.size(); ++index) {
        current.push_back(tokenIds[index]);
        const std::string decoded = decode(current);
        const std::u32string points = VuzadoDudi::Unicode::codePoints(decoded);
        const std::size_t replacement = points.find(replacementCharacter);
        bool complete = replacement == std::u32string::npos;
        if (!complete && offset + replacement < fullText.size() &&
            fullText[offset + replacement] == replacementCharacter) {
            // The text holds a replacement character here, but so does the first byte of one spread over
            // several ids. Cutting there only when the cut leaves the text as it is keeps such a group open
            // until it is whole, so no later group is thrown off and no id is lost.
            const std::vector<int> rest(tokenIds.begin() + static_cast<std::ptrdiff_t>(index) + 1,
                                        tokenIds.end());
            complete = fullText.compare(offset, std::u32string::npos,
                                        points + VuzadoDudi::Unicode::codePoints(decode(rest))) == 0;
        }
        if (complete) {
            split.words.push_back(decoded);
            split.wordTokens.push_back(std::move(current));
            current.clear();
            offset += points.size();
        }
    }
    return split;
}

WordTokens WhisperTokenizerWrapper::splitTokensOnSpaces(const std::vector<int>& tokenIds) const {
    WordTokens subwords = splitTokensOnUnicode(tokenIds);
    WordTokens split;
    for (std::size_t i = 0; i < subwords.words.size(); ++i) {
        const std::string& subword = subwords.words[i];
        const std::vector<int>& tokens = subwords.wordTokens[i];
        const bool special = tokens.front() >= specialTokens_.specialTokenBegin;
        const bool withSpace = subword.starts_with(' ');
        if (special || withSpace || isLonePunctuation(subword) || split.words.empty()) {
            split.words.push_back(subword);
            split.wordTokens.push_back(tokens);
        } else {
            split.words.back() += subword;
            split.wordTokens.back().insert(split.wordTokens.back().end(), tokens.begin(), tokens.end());
        }
    }
    return split;
}

} // namespace ZodozorEro
