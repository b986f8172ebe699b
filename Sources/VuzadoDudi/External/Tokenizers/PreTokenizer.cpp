#include "VuzadoDudi/External/Tokenizers/PreTokenizer.h"

#include <unicode/utf8.h>

#include "VuzadoDudi/External/Tokenizers/ByteEncoder.h"
#include "VuzadoDudi/External/Tokenizers/ConfigReading.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

using ConfigReading::flag;
using ConfigReading::text;

const char* const RegexPreTokenizer::bert =
    "[^\\s\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+|"
    "[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]";
const char* const RegexPreTokenizer::punctuation =
    "[^\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+|"
    "[\\p{P}\\u0021-\\u002F\\u003A-\\u0040\\u005B-\\u0060\\u007B-\\u007E]+";
const char* const RegexPreTokenizer::whitespace = "\\w+|[^\\w\\s]+";
const char* const RegexPreTokenizer::whitespaceSplit = "\\S+";
const char* const ByteLevelPreTokenizer::pattern =
    "'s|'t|'re|'ve|'m|'ll|'d| ?\\p{L}+| ?\\p{N}+| ?[^\\s\\p{L}\\p{N}]+|\\s+(?!\\S)|\\s+";

std::string RegexPreTokenizer::digits(bool individualDigits) {
    return individualDigits ? "[^\\d]+|\\d" : "[^\\d]+|\\d+";
}

std::vector<std::string> PreTokenizer::preTokenize(const std::vector<std::string>& texts,
                                                   PreTokenizerOptions options) const {
    std::vector<std::string> result;
    for (const auto& text : texts) {
        auto pieces = preTokenize(text, options);
        result.insert(result.end(), std::make_move_iterator(pieces.begin()), std::make_move_iterator(pieces.end()));
    }
    return result;
}

std::unique_ptr<PreTokenizer> PreTokenizerFactory::fromConfig(const Config* config) {
    const auto type = ConfigReading::type(config);
    if (!type) {
        return nullptr;
    }
    if (*type == "Sequence") {
        return std::make_unique<PreTokenizerSequence>(*config);
    }
    if (*type == "ByteLevel") {
        return std::make_unique<ByteLevelPreTokenizer>(*config);
    }
    if (*type == "Punctuation") {
        return std::make_unique<RegexPreTokenizer>(RegexPreTokenizer::punctuation);
    }
    if (*type == "Digits") {
        return std::make_unique<RegexPreTokenizer>(RegexPreTokenizer::digits(flag(*config, "individualDigits", false)));
    }
    if (*type == "Split") {
        return std::make_unique<SplitPreTokenizer>(*config);
    }
    if (*type == "Whitespace") {
        return std::make_unique<RegexPreTokenizer>(RegexPreTokenizer::whitespace);
    }
    if (*type == "WhitespaceSplit") {
        return std::make_unique<RegexPreTokenizer>(RegexPreTokenizer::whitespaceSplit);
    }
    if (*type == "Metaspace") {
        return std::make_unique<MetaspacePreTokenizer>(*config);
    }
    if (*type == "BertPreTokenizer") {
        return std::make_unique<RegexPreTokenizer>(RegexPreTokenizer::bert);
    }
    throw TokenizerError::invalidDefinition("Unsupported PreTokenizer type: " + *type);
}

std::optional<StringSplitPattern> StringSplitPattern::from(const Config& config) {
    const Config& pattern = config["pattern"];
    if (auto literal = text(pattern, "String")) {
        return StringSplitPattern{Kind::string, *literal};
    }
    if (auto expression = text(pattern, "Regex")) {
        return StringSplitPattern{Kind::regexp, *expression};
    }
    return std::nullopt;
}

PreTokenizerSequence::PreTokenizerSequence(const Config& config) {
    const Config::Array* elements = config["pretokenizers"].arrayValue();
    if (elements == nullptr) {
        throw TokenizerError::invalidDefinition("No pretokenizers in Sequence");
    }
    for (const Config& element : *elements) {
        if (auto preTokenizer = PreTokenizerFactory::fromConfig(&element)) {
            preTokenizers_.push_back(std::move(preTokenizer));
        }
    }
}

std::vector<std::string> PreTokenizerSequence::preTokenize(const std::string& text, PreTokenizerOptions options) const {
    std::vector<std::string> pieces{text};
    for (const auto& member : preTokenizers_) {
        pieces = member->preTokenize(pieces, options);
    }
    return pieces;
}

std::vector<std::string> RegexPreTokenizer::preTokenize(const std::string& text, PreTokenizerOptions) const {
    return re_.matches(text);
}

ByteLevelPreTokenizer::ByteLevelPreTokenizer(const Config& config)
    : addPrefixSpace_(flag(config, "addPrefixSpace", false))
    , trimOffsets_(flag(config, "trimOffsets", true))
    , useRegex_(flag(config, "useRegex", true)) {}

std::vector<std::string> ByteLevelPreTokenizer::preTokenize(const std::string& input, PreTokenizerOptions) const {
    // Nothing to tokenize: a prefix blank alone would become a token of its own.
    if (input.empty()) {
        return {};
    }
    // The prefix space belongs to the start of the text only; a piece further in keeps the blank (or lack of
    // one) that the text gave it.
    std::string text;
    if (addPrefixSpace_ && (input.empty() || input[0] != ' ')) {
        text = " " + input;
    } else {
        text = input;
    }
    std::vector<std::string> pieces;
    if (!useRegex_) {
        pieces.push_back(byteLevelEncoded(text));
        return pieces;
    }
    for (const auto piece : byteLevelPieces(text)) {
        pieces.push_back(byteLevelEncoded(piece));
    }
    return pieces;
}

std::vector<std::string_view> byteLevelPieces(std::string_view text) {
    struct Point {
        UChar32 c;
        std::size_t begin;
        Unicode::RegexClass kind;
    };
    std::vector<Point> points;
    points.reserve(text.size());
    {
        const auto* s = reinterpret_cast<const uint8_t*>(text.data());
        const auto length = static_cast<int32_t>(text.size());
        int32_t i = 0;
        while (i < length) {
            const auto begin = static_cast<std::size_t>(i);
            UChar32 c;
            U8_NEXT(s, i, length, c);
            if (c < 0) {
                c = 0xFFFD;
            }
            points.push_back({c, begin, Unicode::regexClass(static_cast<char32_t>(c))});
        }
    }
    const std::size_t n = points.size();
    auto offset = [&](std::size_t index) { return index < n ? points[index].begin : text.size(); };
    std::vector<std::string_view> pieces;
    auto emit = [&](std::size_t from, std::size_t to) { pieces.push_back(text.substr(offset(from), offset(to) - offset(from))); };
    auto runEnd = [&](std::size_t from, Unicode::RegexClass kind) {
        std::size_t end = from;
        while (end < n && points[end].kind == kind) {
            ++end;
        }
        return end;
    };

    std::size_t i = 0;
    while (i < n) {
        const UChar32 c = points[i].c;
        if (c == '\'' && i + 1 < n) {
            const UChar32 next = points[i + 1].c;
            if (next == 's' || next == 't' || next == 'm' || next == 'd') {
                emit(i, i + 2);
                i += 2;
                continue;
            }
            if (i + 2 < n && ((next == 'r' && points[i + 2].c == 'e') || (next == 'v' && points[i + 2].c == 'e') ||
                              (next == 'l' && points[i + 2].c == 'l'))) {
                emit(i, i + 3);
                i += 3;
                continue;
            }
        }
        const Unicode::RegexClass kind = points[i].kind;
        if (kind != Unicode::RegexClass::whitespace) {
            const std::size_t end = runEnd(i, kind);
            emit(i, end);
            i = end;
            continue;
        }
        if (c == ' ' && i + 1 < n && points[i + 1].kind != Unicode::RegexClass::whitespace) {
            const std::size_t end = runEnd(i + 1, points[i + 1].kind);
            emit(i, end);
            i = end;
            continue;
        }
        // A run of white space: all of it at the end of the text; before other text, all but its last
        // character (which goes with what follows), unless it is a single character.
        const std::size_t end = runEnd(i, Unicode::RegexClass::whitespace);
        const std::size_t stop = (end < n && end - i >= 2) ? end - 1 : end;
        emit(i, stop);
        i = stop;
    }
    return pieces;
}

MetaspacePreTokenizer::MetaspacePreTokenizer(const Config& config)
    : addPrefixSpace_(flag(config, "addPrefixSpace", false))
    , replacement_(text(config, "replacement").value_or(" "))
    , stringReplacement_(text(config, "strRep").value_or(replacement_))
    , prependScheme_(PrependScheme::always) {
    const auto scheme = text(config, "prependScheme");
    if (scheme == "first") {
        prependScheme_ = PrependScheme::first;
    } else if (scheme == "never") {
        prependScheme_ = PrependScheme::never;
    }
}

std::vector<std::string> MetaspacePreTokenizer::preTokenize(const std::string& text, PreTokenizerOptions options) const {
    const std::string replaced = replacingOccurrences(text, " ", stringReplacement_);
    std::string prefix;
    if (addPrefixSpace_ && replaced.rfind(replacement_, 0) != 0) {
        if (prependScheme_ == PrependScheme::always ||
            (prependScheme_ == PrependScheme::first && options.firstSection)) {
            prefix = stringReplacement_;
        }
    }
    return split(prefix + replaced, replacement_, true, SplitDelimiterBehavior::mergedWithNext);
}

SplitPreTokenizer::SplitPreTokenizer(const Config& config)
    : pattern_(StringSplitPattern::from(config))
    , invert_(flag(config, "invert", false)) {}

std::vector<std::string> SplitPreTokenizer::preTokenize(const std::string& text, PreTokenizerOptions) const {
    if (!pattern_) {
        return {text};
    }
    if (pattern_->kind == StringSplitPattern::Kind::string) {
        return split(text, pattern_->pattern, false, !invert_);
    }
    return split(text, pattern_->pattern, true, true);
}

} // namespace VuzadoDudi
