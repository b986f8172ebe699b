#include "TessarinCore/Domain/Unicode.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>

namespace TessarinCore::Unicode {

namespace {
constexpr char32_t replacementCharacter = 0xFFFD;

bool hasCategory(char32_t c, std::uint32_t mask) {
    return (U_GET_GC_MASK(static_cast<UChar32>(c)) & mask) != 0;
}
} // namespace

icu::UnicodeString fromUtf8(std::string_view utf8) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
    std::string result;
    text.toUTF8String(result);
    return result;
}

std::u32string codePoints(std::string_view utf8) {
    std::u32string result;
    result.reserve(utf8.size());
    std::size_t offset = 0;
    while (offset < utf8.size()) {
        result.push_back(Detail::decodeForward(utf8, offset));
    }
    return result;
}

std::string utf8(std::u32string_view codePoints) {
    std::string result;
    result.reserve(codePoints.size());
    for (const char32_t c : codePoints) {
        char buffer[U8_MAX_LENGTH];
        std::int32_t length = 0;
        const UChar32 scalar =
            (c <= 0x10FFFF && !U_IS_SURROGATE(c)) ? static_cast<UChar32>(c) : UChar32(replacementCharacter);
        U8_APPEND_UNSAFE(buffer, length, scalar);
        result.append(buffer, static_cast<std::size_t>(length));
    }
    return result;
}

std::vector<std::string_view> graphemeClusters(std::string_view utf8) {
    std::vector<std::string_view> clusters;
    if (utf8.empty()) {
        return clusters;
    }
    UErrorCode status = U_ZERO_ERROR;
    // Native indexes of a UTF-8 UText are byte offsets, so the clusters are views into the input.
    std::unique_ptr<UText, decltype(&utext_close)> text(
        utext_openUTF8(nullptr, utf8.data(), static_cast<std::int64_t>(utf8.size()), &status), &utext_close);
    std::unique_ptr<icu::BreakIterator> breaks(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) {
        // ICU's data is linked in; without it, fall back to one cluster per code point rather than lose text.
        std::size_t offset = 0;
        while (offset < utf8.size()) {
            const std::size_t start = offset;
            Detail::decodeForward(utf8, offset);
            clusters.push_back(utf8.substr(start, offset - start));
        }
        return clusters;
    }
    breaks->setText(text.get(), status);
    std::int32_t start = breaks->first();
    for (std::int32_t end = breaks->next(); end != icu::BreakIterator::DONE;
         start = end, end = breaks->next()) {
        clusters.push_back(
            utf8.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
    }
    return clusters;
}

char32_t firstCodePoint(std::string_view utf8) {
    std::size_t offset = 0;
    return utf8.empty() ? replacementCharacter : Detail::decodeForward(utf8, offset);
}

bool isWhiteSpace(char32_t c) {
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
}

bool isSpaceSeparator(char32_t c) {
    return hasCategory(c, U_GC_ZS_MASK);
}

bool isLineOrParagraphSeparator(char32_t c) {
    return hasCategory(c, U_GC_ZL_MASK | U_GC_ZP_MASK);
}

bool isPunctuation(char32_t c) {
    return hasCategory(c, U_GC_P_MASK);
}

bool isSymbol(char32_t c) {
    return hasCategory(c, U_GC_S_MASK);
}

std::string foldedForComparison(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* compatibility = icu::Normalizer2::getNFKCInstance(status);
    const icu::Normalizer2* decomposition = icu::Normalizer2::getNFDInstance(status);
    const icu::Normalizer2* composition = icu::Normalizer2::getNFCInstance(status);
    icu::UnicodeString text = fromUtf8(utf8);
    if (U_FAILURE(status)) {
        // ICU's data is linked in; without its normalizers, case folding alone is the closest key.
        return toUtf8(text.foldCase());
    }
    icu::UnicodeString widthFolded;
    for (std::int32_t i = 0; i < text.length();) {
        const UChar32 c = text.char32At(i);
        i += U16_LENGTH(c);
        const auto type = u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE);
        icu::UnicodeString ordinaryForm;
        if ((type == U_DT_WIDE || type == U_DT_NARROW) &&
            compatibility->getRawDecomposition(c, ordinaryForm)) {
            widthFolded.append(ordinaryForm);
        } else {
            widthFolded.append(c);
        }
    }
    const icu::UnicodeString decomposed = decomposition->normalize(widthFolded.foldCase(), status);
    icu::UnicodeString unmarked;
    for (std::int32_t i = 0; i < decomposed.length();) {
        const UChar32 c = decomposed.char32At(i);
        i += U16_LENGTH(c);
        if (u_charType(c) != U_NON_SPACING_MARK) {
            unmarked.append(c);
        }
    }
    return toUtf8(composition->normalize(unmarked, status));
}

namespace Detail {

char32_t decodeForward(std::string_view utf8, std::size_t& offset) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
    std::int32_t index = static_cast<std::int32_t>(offset);
    UChar32 c = 0;
    U8_NEXT(bytes, index, static_cast<std::int32_t>(utf8.size()), c);
    offset = static_cast<std::size_t>(index);
    return c < 0 ? replacementCharacter : static_cast<char32_t>(c);
}

char32_t decodeBackward(std::string_view utf8, std::size_t& offset) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
    std::int32_t index = static_cast<std::int32_t>(offset);
    UChar32 c = 0;
    U8_PREV(bytes, 0, index, c);
    offset = static_cast<std::size_t>(index);
    return c < 0 ? replacementCharacter : static_cast<char32_t>(c);
}

} // namespace Detail

} // namespace TessarinCore::Unicode
