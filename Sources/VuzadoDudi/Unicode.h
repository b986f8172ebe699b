#pragma once

// The one place the stack talks to ICU about text: conversions between UTF-8 and UTF-16, normalisation forms,
// user-perceived characters (extended grapheme clusters), canonical equivalence, case mapping and the character
// classes the tokenizer components test. Text is UTF-8 in std::string unless a name says UTF-16.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace VuzadoDudi::Unicode {

// Ill-formed input (bytes that are no UTF-8, unpaired surrogates) becomes U+FFFD; nothing is dropped silently.
std::u16string toUTF16(std::string_view utf8);
std::string toUTF8(std::u16string_view utf16);

// Whether `utf8` is well-formed UTF-8.
bool isValidUTF8(std::string_view utf8);

enum class NormalizationForm { nfc, nfd, nfkc, nfkd };
std::string normalized(std::string_view text, NormalizationForm form);

// The extended grapheme clusters of the text, in order, as views into it.
std::vector<std::string_view> characters(std::string_view text);
std::size_t characterCount(std::string_view text);
// The same, counted on UTF-16 text.
std::size_t characterCount(std::u16string_view text);
// The UTF-16 ranges [begin, end) of the clusters.
std::vector<std::pair<std::size_t, std::size_t>> characterRanges(std::u16string_view text);

// The platform's string equality: canonically equivalent texts are equal.
bool canonicallyEqual(std::string_view a, std::string_view b);

// Full (context-sensitive, length-changing) case mapping, locale independent.
std::string lowercased(std::string_view text);
std::u16string lowercased(std::u16string_view text);

// Character classes, on code points.
bool isWhitespace(char32_t c);       // the White_Space property (line breaks included)
bool isUppercaseLetter(char32_t c);  // general categories Lu and Lt
bool isPunctuation(char32_t c);      // general categories P*
bool isLetter(char32_t c);           // L*
bool isNumber(char32_t c);           // N*
bool isMark(char32_t c);             // Mn, Mc, Me
bool isNonspacingMark(char32_t c);   // Mn
bool isSpaceSeparator(char32_t c);   // Zs
// The classes the tokenizers' regular expressions tell apart, exactly as ICU's engine draws them: `\s` is the
// White_Space property (vertical tab and next line are blanks, the separators U+001C to U+001F are not),
// `\p{L}` and `\p{N}` the general categories. Code that scans for what an expression would match asks this.
enum class RegexClass : std::uint8_t { whitespace, letter, number, other };
RegexClass regexClass(char32_t c);
// Control, format, surrogate, private use or unassigned.
bool isControlOrFormat(char32_t c);
// The CJK Unified Ideographs blocks with their extensions A to E and the compatibility ideographs: the
// characters that word-piece vocabularies treat as words of their own.
bool isCJKIdeograph(char32_t c);

// Every character whose first code point is a CJK ideograph with a blank on each side.
std::string isolatingCJKIdeographs(std::string_view text);

// Accented letters lose their accents ("é" and "e" + U+0301 become "e"); case is untouched, and a character
// without marks stays exactly as it is (a Hangul syllable is not broken into its letters).
std::string foldingDiacritics(std::string_view text);

// The text without its leading and/or trailing white-space characters (whole grapheme clusters).
std::string trimmingWhitespace(std::string_view text, bool leading = true, bool trailing = true);
// The text without the tabs and space separators (Zs) at its ends, whole grapheme clusters; line breaks stay.
std::string trimmingBlanks(std::string_view text);

// The code points of UTF-8 text (ill-formed bytes read as U+FFFD), and back.
std::u32string codePoints(std::string_view utf8);
void appendUTF8(std::string& out, char32_t c);
// The first code point of UTF-8 text; U+FFFD for ill-formed text, 0 for empty text.
char32_t firstCodePoint(std::string_view utf8);

} // namespace VuzadoDudi::Unicode
