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
        result.insert(result.end(), std::make_move_iterator(pieces.begin()),
                      std::make_move_iterator(pieces.end()));
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
        return std::make_unique<RegexPreTokenizer>(
            RegexPreTokenizer::digits(flag(*config, "individualDigits", false)));
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

void PreTokenizer::forEachPiece(const std::string& text, PreTokenizerOptions options,
                                const std::function<void(const std::string&)>& use) const {
    for (const auto& piece : preTokenize(text, options)) {
        use(piece);
    }
}

std::vector<std::string> PreTokenizerSequence::preTokenize(const std::string& text,
                                                           PreTokenizerOptions options) const {
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

namespace {

// Calls emit(piece) for each piece of the byte-level expression in the text, in order.
template <class Emit>
void forEachByteLevelPiece(std::string_view text, Emit&& emit) {
    // Code points are decoded where the scan stands rather than all beforehand: a table of them would be many
    // times the size of the text.
    struct Point {
        UChar32 c;
        std::size_t next; // where the following code point begins
        Unicode::RegexClass kind;
    };
    const std::size_t size = text.size();
    const auto point = [&](std::size_t at) {
        const auto* s = reinterpret_cast<const uint8_t*>(text.data());
        auto i = static_cast<int32_t>(at);
        UChar32 c;
        U8_NEXT(s, i, static_cast<int32_t>(size), c);
        if (c < 0) {
            c = 0xFFFD;
        }
        return Point{c, static_cast<std::size_t>(i), Unicode::regexClass(static_cast<char32_t>(c))};
    };
    // A run of one kind from `from`: where it ends, and where its last code point begins.
    struct Run {
        std::size_t end;
        std::size_t last;
    };
    const auto run = [&](std::size_t from, Unicode::RegexClass kind) {
        Run result{from, from};
        while (result.end < size) {
            const Point p = point(result.end);
            if (p.kind != kind) {
                break;
            }
            result.last = result.end;
            result.end = p.next;
        }
        return result;
    };
    const auto piece = [&](std::size_t from, std::size_t to) { emit(text.substr(from, to - from)); };

    std::size_t i = 0;
    while (i < size) {
        const Point p = point(i);
        if (p.c == '\'' && p.next < size) {
            const Point second = point(p.next);
            const UChar32 next = second.c;
            if (next == 's' || next == 't' || next == 'm' || next == 'd') {
                piece(i, second.next);
                i = second.next;
                continue;
            }
            if (second.next < size) {
                const Point third = point(second.next);
                if ((next == 'r' && third.c == 'e') || (next == 'v' && third.c == 'e') ||
                    (next == 'l' && third.c == 'l')) {
                    piece(i, third.next);
                    i = third.next;
                    continue;
                }
            }
        }
        if (p.kind != Unicode::RegexClass::whitespace) {
            const std::size_t end = run(i, p.kind).end;
            piece(i, end);
            i = end;
            continue;
        }
        if (p.c == ' ' && p.next < size) {
            if (const Point second = point(p.next); second.kind != Unicode::RegexClass::whitespace) {
                const std::size_t end = run(p.next, second.kind).end;
                piece(i, end);
                i = end;
                continue;
            }
        }
        // A run of white space: all of it at the end of the text; before other text, all but its last
        // character (which goes with what follows), unless it is a single character.
        const Run blanks = run(i, Unicode::RegexClass::whitespace);
        const std::size_t stop = (blanks.end < size && blanks.last != i) ? blanks.last : blanks.end;
        piece(i, stop);
        i = stop;
    }
}

} // namespace

std::vector<std::string_view> byteLevelPieces(std::string_view text) {
    std::vector<std::string_view> pieces;
    forEachByteLevelPiece(text, [&](std::string_view piece) { pieces.push_back(piece); });
    return pieces;
}

std::vector<std::string> ByteLevelPreTokenizer::preTokenize(const std::string& text,
                                                            PreTokenizerOptions options) const {
    std::vector<std::string> pieces;
    forEachPiece(text, options, [&](const std::string& piece) { pieces.push_back(piece); });
    return pieces;
}

void ByteLevelPreTokenizer::forEachPiece(const std::string& input, PreTokenizerOptions,
                                         const std::function<void(const std::string&)>& use) const {
    // Nothing to tokenize: a prefix blank alone would become a token of its own.
    if (input.empty()) {
        return;
    }
    // The prefix space belongs to the start of the text only; a piece further in keeps the blank (or lack of
    // one) that the text gave it.
    std::string prefixed;
    std::string_view text = input;
    if (addPrefixSpace_ && input[0] != ' ') {
        prefixed = " " + input;
        text = prefixed;
    }
    if (!useRegex_) {
        use(byteLevelEncoded(text));
        return;
    }
    std::string encoded; // one buffer for every piece
    forEachByteLevelPiece(text, [&](std::string_view piece) {
        encoded.clear();
        appendByteLevelEncoded(piece, encoded);
        use(encoded);
    });
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

std::vector<std::string> MetaspacePreTokenizer::preTokenize(const std::string& text,
                                                            PreTokenizerOptions options) const {
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
