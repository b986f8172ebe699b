#include "VuzadoDudi/Unicode.h"

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace VuzadoDudi::Unicode {

namespace {

const icu::Normalizer2& normalizer(NormalizationForm form) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* result = nullptr;
    switch (form) {
    case NormalizationForm::nfc:
        result = icu::Normalizer2::getNFCInstance(status);
        break;
    case NormalizationForm::nfd:
        result = icu::Normalizer2::getNFDInstance(status);
        break;
    case NormalizationForm::nfkc:
        result = icu::Normalizer2::getNFKCInstance(status);
        break;
    case NormalizationForm::nfkd:
        result = icu::Normalizer2::getNFKDInstance(status);
        break;
    }
    if (U_FAILURE(status) || result == nullptr) {
        throw std::runtime_error(std::string("The Unicode normalisation data cannot be loaded: ") +
                                 u_errorName(status));
    }
    return *result;
}

// Opening a break iterator loads rules; each thread keeps one and points it at new text.
UBreakIterator* characterBreaker() {
    struct Closer {
        void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
    };
    thread_local std::unique_ptr<UBreakIterator, Closer> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        UBreakIterator* opened = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
        if (U_FAILURE(status)) {
            throw std::runtime_error(std::string("The Unicode character break rules cannot be loaded: ") +
                                     u_errorName(status));
        }
        return std::unique_ptr<UBreakIterator, Closer>(opened);
    }();
    return iterator.get();
}

template <class Visit>
void forEachBoundaryUTF8(std::string_view text, Visit visit) {
    if (text.empty()) {
        return;
    }
    UErrorCode status = U_ZERO_ERROR;
    UText ut = UTEXT_INITIALIZER;
    utext_openUTF8(&ut, text.data(), static_cast<int64_t>(text.size()), &status);
    UBreakIterator* breaker = characterBreaker();
    ubrk_setUText(breaker, &ut, &status);
    if (U_FAILURE(status)) {
        utext_close(&ut);
        throw std::runtime_error(std::string("Text cannot be split into characters: ") + u_errorName(status));
    }
    int32_t start = ubrk_first(breaker);
    for (int32_t end = ubrk_next(breaker); end != UBRK_DONE; end = ubrk_next(breaker)) {
        visit(static_cast<std::size_t>(start), static_cast<std::size_t>(end));
        start = end;
    }
    // The iterator must not keep pointing at text that is about to go away.
    static const UChar empty[1] = {0};
    ubrk_setText(breaker, empty, 0, &status);
    utext_close(&ut);
}

} // namespace

std::u16string toUTF16(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    std::u16string out(utf8.size(), u'\0');
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &length, utf8.data(),
                         static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("Text cannot be converted to UTF-16: ") + u_errorName(status));
    }
    out.resize(static_cast<std::size_t>(length));
    return out;
}

std::string toUTF8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size() * 3 / 2);
    std::size_t i = 0;
    while (i < utf16.size()) {
        char32_t c = utf16[i++];
        if (U16_IS_LEAD(c) && i < utf16.size() && U16_IS_TRAIL(utf16[i])) {
            c = U16_GET_SUPPLEMENTARY(c, utf16[i]);
            ++i;
        } else if (U16_IS_SURROGATE(c)) {
            c = 0xFFFD;
        }
        appendUTF8(out, c);
    }
    return out;
}

bool isValidUTF8(std::string_view utf8) {
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    int32_t i = 0;
    while (i < length) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) {
            return false;
        }
    }
    return true;
}

std::u32string codePoints(std::string_view utf8) {
    std::u32string out;
    out.reserve(utf8.size());
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    int32_t i = 0;
    while (i < length) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        out.push_back(c < 0 ? char32_t{0xFFFD} : static_cast<char32_t>(c));
    }
    return out;
}

char32_t firstCodePoint(std::string_view utf8) {
    if (utf8.empty()) {
        return 0;
    }
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    int32_t i = 0;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    return c < 0 ? char32_t{0xFFFD} : static_cast<char32_t>(c);
}

void appendUTF8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        c = 0xFFFD;
    }
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string normalized(std::string_view text, NormalizationForm form) {
    const icu::Normalizer2& n = normalizer(form);
    icu::UnicodeString source = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    if (n.isNormalized(source, status) && U_SUCCESS(status) && isValidUTF8(text)) {
        return std::string(text);
    }
    status = U_ZERO_ERROR;
    icu::UnicodeString result = n.normalize(source, status);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("Text cannot be normalised: ") + u_errorName(status));
    }
    std::string out;
    result.toUTF8String(out);
    return out;
}

std::vector<std::string_view> characters(std::string_view text) {
    std::vector<std::string_view> out;
    forEachBoundaryUTF8(text, [&](std::size_t begin, std::size_t end) { out.push_back(text.substr(begin, end - begin)); });
    return out;
}

std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    forEachBoundaryUTF8(text, [&](std::size_t, std::size_t) { ++count; });
    return count;
}

std::vector<std::pair<std::size_t, std::size_t>> characterRanges(std::u16string_view text) {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    if (text.empty()) {
        return out;
    }
    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator* breaker = characterBreaker();
    ubrk_setText(breaker, reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()), &status);
    if (U_FAILURE(status)) {
        throw std::runtime_error(std::string("Text cannot be split into characters: ") + u_errorName(status));
    }
    int32_t start = ubrk_first(breaker);
    for (int32_t end = ubrk_next(breaker); end != UBRK_DONE; end = ubrk_next(breaker)) {
        out.emplace_back(static_cast<std::size_t>(start), static_cast<std::size_t>(end));
        start = end;
    }
    static const UChar empty[1] = {0};
    ubrk_setText(breaker, empty, 0, &status);
    return out;
}

std::size_t characterCount(std::u16string_view text) { return characterRanges(text).size(); }

namespace {
// The text without the grapheme clusters at its ends whose first code point `trimmed` picks.
template <class Predicate>
std::string trimmingClusters(std::string_view text, bool leading, bool trailing, Predicate trimmed) {
    const auto clusters = characters(text);
    std::size_t begin = 0;
    std::size_t end = clusters.size();
    auto white = [&](std::size_t i) { return trimmed(firstCodePoint(clusters[i])); };
    while (leading && begin < end && white(begin)) {
        ++begin;
    }
    while (trailing && end > begin && white(end - 1)) {
        --end;
    }
    if (begin == end) {
        return {};
    }
    const char* first = clusters[begin].data();
    const char* last = clusters[end - 1].data() + clusters[end - 1].size();
    return std::string(first, static_cast<std::size_t>(last - first));
}
} // namespace

std::string trimmingWhitespace(std::string_view text, bool leading, bool trailing) {
    return trimmingClusters(text, leading, trailing, isWhitespace);
}

std::string trimmingBlanks(std::string_view text) {
    return trimmingClusters(text, true, true, [](char32_t c) { return c == U'\t' || isSpaceSeparator(c); });
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    return normalized(a, NormalizationForm::nfd) == normalized(b, NormalizationForm::nfd);
}

std::u16string lowercased(std::u16string_view text) {
    if (text.empty()) {
        return {};
    }
    std::u16string out(text.size() + 8, u'\0');
    for (;;) {
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length =
            u_strToLower(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                         reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()), "", &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            out.assign(static_cast<std::size_t>(length), u'\0');
            continue;
        }
        if (U_FAILURE(status)) {
            throw std::runtime_error(std::string("Text cannot be lower-cased: ") + u_errorName(status));
        }
        out.resize(static_cast<std::size_t>(length));
        return out;
    }
}

std::string lowercased(std::string_view text) {
    bool ascii = true;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) {
        std::string out(text);
        for (char& c : out) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return out;
    }
    return toUTF8(lowercased(std::u16string_view(toUTF16(text))));
}

bool isWhitespace(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE); }

namespace {
RegexClass regexClassLookedUp(char32_t c) {
    const uint32_t mask = U_GET_GC_MASK(static_cast<UChar32>(c));
    if ((mask & U_GC_L_MASK) != 0) {
        return RegexClass::letter;
    }
    if ((mask & U_GC_N_MASK) != 0) {
        return RegexClass::number;
    }
    return isWhitespace(c) ? RegexClass::whitespace : RegexClass::other;
}
} // namespace

RegexClass regexClass(char32_t c) {
    // Tokenizers ask this for every code point of their text, which is mostly ASCII.
    static const std::array<RegexClass, 128> ascii = [] {
        std::array<RegexClass, 128> table{};
        for (char32_t a = 0; a < table.size(); ++a) {
            table[a] = regexClassLookedUp(a);
        }
        return table;
    }();
    return c < ascii.size() ? ascii[c] : regexClassLookedUp(c);
}

bool isUppercaseLetter(char32_t c) {
    const int8_t type = u_charType(static_cast<UChar32>(c));
    return type == U_UPPERCASE_LETTER || type == U_TITLECASE_LETTER;
}

bool isPunctuation(char32_t c) { return u_ispunct(static_cast<UChar32>(c)); }

bool isLetter(char32_t c) { return u_isalpha(static_cast<UChar32>(c)); }

bool isNumber(char32_t c) {
    const uint32_t mask = U_GET_GC_MASK(static_cast<UChar32>(c));
    return (mask & U_GC_N_MASK) != 0;
}

bool isMark(char32_t c) {
    const uint32_t mask = U_GET_GC_MASK(static_cast<UChar32>(c));
    return (mask & U_GC_M_MASK) != 0;
}

bool isNonspacingMark(char32_t c) { return u_charType(static_cast<UChar32>(c)) == U_NON_SPACING_MARK; }

bool isSpaceSeparator(char32_t c) { return u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR; }

bool isControlOrFormat(char32_t c) {
    const uint32_t mask = U_GET_GC_MASK(static_cast<UChar32>(c));
    return (mask & (U_GC_CC_MASK | U_GC_CF_MASK | U_GC_CS_MASK | U_GC_CO_MASK | U_GC_CN_MASK)) != 0;
}

bool isCJKIdeograph(char32_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x20000 && c <= 0x2A6DF) ||
           (c >= 0x2A700 && c <= 0x2CEAF) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x2F800 && c <= 0x2FA1F);
}

std::string isolatingCJKIdeographs(std::string_view text) {
    // Every ideograph's UTF-8 form starts with a byte of E3 or above; text without one needs no look.
    if (std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0xE3; })) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size());
    for (const auto character : characters(text)) {
        if (isCJKIdeograph(firstCodePoint(character))) {
            out += ' ';
            out += character;
            out += ' ';
        } else {
            out += character;
        }
    }
    return out;
}

std::string foldingDiacritics(std::string_view text) {
    if (std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        return std::string(text);
    }
    std::string out;
    out.reserve(text.size());
    std::size_t plain = 0; // start of the run of characters copied unchanged
    for (const auto character : characters(text)) {
        // ASCII carries no marks; most text is skipped here without a look at its decomposition.
        if (static_cast<unsigned char>(character.front()) < 0x80 && character.size() == 1) {
            continue;
        }
        std::string folded;
        bool dropped = false;
        for (const char32_t c : codePoints(normalized(character, NormalizationForm::nfd))) {
            if (isNonspacingMark(c)) {
                dropped = true;
            } else {
                appendUTF8(folded, c);
            }
        }
        if (!dropped) {
            continue;
        }
        const auto at = static_cast<std::size_t>(character.data() - text.data());
        out.append(text.substr(plain, at - plain));
        out += normalized(folded, NormalizationForm::nfc);
        plain = at + character.size();
    }
    out.append(text.substr(plain));
    return out;
}

} // namespace VuzadoDudi::Unicode
