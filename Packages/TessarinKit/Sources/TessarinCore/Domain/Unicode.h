#pragma once

// Small shared Unicode helpers over ICU, so the rest of the core speaks UTF-8 std::string and never
// hand-rolls character classes. Ill-formed UTF-8 is read as U+FFFD and never crashes.

#include <unicode/unistr.h>

#include <string>
#include <string_view>
#include <vector>

namespace TessarinCore::Unicode {

icu::UnicodeString fromUtf8(std::string_view utf8);
std::string toUtf8(const icu::UnicodeString& text);

// The code points of the text in order; each ill-formed sequence becomes U+FFFD.
std::u32string codePoints(std::string_view utf8);
std::string utf8(std::u32string_view codePoints);

// User-perceived characters (extended grapheme clusters), as views into the given text.
std::vector<std::string_view> graphemeClusters(std::string_view utf8);

// The first code point of a non-empty text (U+FFFD when ill-formed); U+FFFD for an empty text.
char32_t firstCodePoint(std::string_view utf8);

// Property checks on one code point.
bool isWhiteSpace(char32_t c);               // the White_Space property: spaces, tabs, newlines
bool isSpaceSeparator(char32_t c);           // general category Zs
bool isLineOrParagraphSeparator(char32_t c); // general categories Zl and Zp
bool isPunctuation(char32_t c);              // general category P*
bool isSymbol(char32_t c);                   // general category S*

// The text folded for comparison, independent of locale: lower case (full case folding), diacritic marks
// (nonspacing marks after canonical decomposition) removed, full- and half-width forms mapped to their
// ordinary forms; the result is in composed form (NFC).
std::string foldedForComparison(std::string_view utf8);

// The text without the leading and trailing code points for which the predicate holds.
template <typename Predicate>
std::string_view trim(std::string_view utf8, Predicate shouldTrim);

// True when the predicate holds for every code point (so also for an empty text).
template <typename Predicate>
bool allCodePoints(std::string_view utf8, Predicate predicate);

namespace Detail {
// Decodes one code point at or before a byte offset; ill-formed sequences read as U+FFFD.
char32_t decodeForward(std::string_view utf8, std::size_t& offset);
char32_t decodeBackward(std::string_view utf8, std::size_t& offset);
} // namespace Detail

template <typename Predicate>
std::string_view trim(std::string_view utf8, Predicate shouldTrim) {
    std::size_t begin = 0;
    while (begin < utf8.size()) {
        std::size_t next = begin;
        if (!shouldTrim(Detail::decodeForward(utf8, next))) {
            break;
        }
        begin = next;
    }
    std::size_t end = utf8.size();
    while (end > begin) {
        std::size_t previous = end;
        if (!shouldTrim(Detail::decodeBackward(utf8, previous))) {
            break;
        }
        end = previous;
    }
    return utf8.substr(begin, end - begin);
}

template <typename Predicate>
bool allCodePoints(std::string_view utf8, Predicate predicate) {
    std::size_t offset = 0;
    while (offset < utf8.size()) {
        if (!predicate(Detail::decodeForward(utf8, offset))) {
            return false;
        }
    }
    return true;
}

} // namespace TessarinCore::Unicode
