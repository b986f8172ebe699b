#include "TessarinCore/UseCases/TranscriptPostProcessor.h"

#include "TessarinCore/Domain/Unicode.h"

#include <unordered_set>
#include <vector>

namespace TessarinCore {

namespace {

// Where the tag that starts at `start` ends, or npos when none starts there. The tag pattern is
// `\[[^\]]*\]|<\|[^|]*\|>`, scanned by hand: its delimiters are ASCII, which never occur inside a multi-byte
// UTF-8 sequence, so working on bytes gives the same matches as working on characters.
class TagScanner {
public:
    explicit TagScanner(std::string_view text)
        : text_(text) {}

    std::size_t tagEnd(std::size_t start) {
        if (text_[start] == '[' && closingBracketPossible_) {
            const std::size_t close = text_.find(']', start + 1);
            // No "]" after this "[" means none after any later "[" either: stop looking (keeps this linear).
            closingBracketPossible_ = close != std::string_view::npos;
            return closingBracketPossible_ ? close + 1 : std::string_view::npos;
        }
        if (text_.substr(start, 2) == "<|") {
            const std::size_t bar = text_.find('|', start + 2);
            if (bar != std::string_view::npos && text_.substr(bar, 2) == "|>") {
                return bar + 2;
            }
        }
        return std::string_view::npos;
    }

private:
    std::string_view text_;
    bool closingBracketPossible_ = true;
};

std::string removingTags(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    TagScanner scanner(text);
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t end = scanner.tagEnd(i);
        if (end != std::string_view::npos) {
            i = end;
        } else {
            result.push_back(text[i++]);
        }
    }
    return result;
}

bool isWhitespaceCharacter(std::string_view cluster) {
    return Unicode::isWhiteSpace(Unicode::firstCodePoint(cluster));
}

// Splits at whitespace characters (user-perceived characters whose first code point is White_Space, so a
// combining mark on a space goes with it), drops empty pieces and joins the rest with single spaces.
std::string collapsingWhitespace(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    bool pendingSpace = false;
    for (const std::string_view cluster : Unicode::graphemeClusters(text)) {
        if (isWhitespaceCharacter(cluster)) {
            pendingSpace = !result.empty();
            continue;
        }
        if (pendingSpace) {
            result.push_back(' ');
            pendingSpace = false;
        }
        result.append(cluster);
    }
    return result;
}

// A transcript that is one parenthesised aside, such as a sound description: "(" first, ")" last and no
// other "(" after the first character. Compared by user-perceived characters, so a "(" carrying a combining
// mark is not a parenthesis.
bool isParenthesisedAside(std::string_view text) {
    const std::vector<std::string_view> characters = Unicode::graphemeClusters(text);
    if (characters.empty() || characters.front() != "(" || characters.back() != ")") {
        return false;
    }
    for (std::size_t i = 1; i < characters.size(); ++i) {
        if (characters[i] == "(") {
            return false;
        }
    }
    return true;
}

bool isArabicMarkOrTatweel(char32_t c) {
    return (c >= 0x064B && c <= 0x065F) || c == 0x0640 || c == 0x0670;
}

// Unifies the Arabic letters that are written interchangeably: alef variants, teh marbuta, alef maksura.
char32_t unifiedArabicLetter(char32_t c) {
    switch (c) {
    case 0x0622:
    case 0x0623:
    case 0x0625:
    case 0x0671:
        return 0x0627;
    case 0x0629:
        return 0x0647;
    case 0x0649:
        return 0x064A;
    default:
        return c;
    }
}

std::unordered_set<std::string> normalizedSet(std::initializer_list<std::string_view> phrases) {
    std::unordered_set<std::string> keys;
    for (const std::string_view phrase : phrases) {
        keys.insert(TranscriptPostProcessor::normalized(phrase));
    }
    return keys;
}

// Stock lines that engines invent on silence or noise: video sign-offs and subtitle credits.
const std::unordered_set<std::string>& alwaysDrop() {
    static const std::unordered_set<std::string> phrases = normalizedSet({
        "thanks for watching",
        "thank you for watching",
        "thank you so much for watching",
        "please subscribe",
        "subtitles by the subtitleorg community",
        "ترجمة سارة حداد",
        "اشتركوا في القناة",
        "اشترك في القناة",
        "شكرا للمشاهدة",
        "شكرا لكم على المشاهدة",
    });
    return phrases;
}

// Short phrases that are plausible speech, so they are dropped only when the audio was faint.
const std::unordered_set<std::string>& dropWhenFaint() {
    static const std::unordered_set<std::string> phrases =
        normalizedSet({"thank you", "thanks", "you", "bye", "شكرا"});
    return phrases;
}

} // namespace

std::optional<std::string> TranscriptPostProcessor::process(std::string_view text, bool audioIsFaint) const {
    // Engines hand over bytes; read ill-formed UTF-8 as U+FFFD so that what is returned is well-formed.
    const std::string wellFormed = Unicode::utf8(Unicode::codePoints(text));
    const std::string cleaned = collapsingWhitespace(removingTags(wellFormed));
    if (cleaned.empty() || isParenthesisedAside(cleaned)) {
        return std::nullopt;
    }
    const std::string key = normalized(cleaned);
    if (key.empty() || alwaysDrop().contains(key)) {
        return std::nullopt;
    }
    if (audioIsFaint && dropWhenFaint().contains(key)) {
        return std::nullopt;
    }
    return cleaned;
}

std::string TranscriptPostProcessor::normalized(std::string_view text) {
    std::u32string kept;
    for (const char32_t c : Unicode::codePoints(Unicode::foldedForComparison(text))) {
        if (Unicode::isPunctuation(c) || Unicode::isSymbol(c) || isArabicMarkOrTatweel(c)) {
            continue;
        }
        kept.push_back(unifiedArabicLetter(c));
    }
    return collapsingWhitespace(Unicode::utf8(kept));
}

} // namespace TessarinCore
