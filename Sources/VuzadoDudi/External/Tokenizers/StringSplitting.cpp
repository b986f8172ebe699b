#include "VuzadoDudi/External/Tokenizers/StringSplitting.h"

#include <unordered_map>

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include "VuzadoDudi/Unicode.h"

namespace VuzadoDudi {

struct Regex::Impl {
    std::unique_ptr<icu::RegexPattern> pattern;
};

Regex::Regex(std::string_view pattern)
    : pattern_(pattern)
    , impl_(std::make_unique<Impl>()) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    const icu::UnicodeString source = icu::UnicodeString::fromUTF8(
        icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size())));
    impl_->pattern.reset(icu::RegexPattern::compile(source, 0, parseError, status));
    if (U_FAILURE(status)) {
        impl_->pattern.reset();
    }
}

Regex::~Regex() = default;

std::shared_ptr<Regex> Regex::compile(std::string_view pattern) { return std::make_shared<Regex>(pattern); }

bool Regex::isValid() const { return impl_->pattern != nullptr; }

std::vector<Regex::Match> Regex::findAll(const std::u16string& text) const {
    std::vector<Match> found;
    if (!isValid()) {
        return found;
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString source(false, reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()));
    std::unique_ptr<icu::RegexMatcher> matcher(impl_->pattern->matcher(source, status));
    if (U_FAILURE(status)) {
        return found;
    }
    const int32_t groups = matcher->groupCount();
    while (matcher->find(status) && U_SUCCESS(status)) {
        Match match{static_cast<std::size_t>(matcher->start(status)), static_cast<std::size_t>(matcher->end(status)), 0,
                    0, 0};
        match.groupBegin = match.begin;
        match.groupEnd = match.end;
        for (int32_t g = groups; g >= 1; --g) {
            const int32_t begin = matcher->start(g, status);
            if (U_SUCCESS(status) && begin >= 0) {
                match.group = g;
                match.groupBegin = static_cast<std::size_t>(begin);
                match.groupEnd = static_cast<std::size_t>(matcher->end(g, status));
                break;
            }
        }
        found.push_back(match);
    }
    return found;
}

std::vector<std::string> Regex::matches(std::string_view text) const {
    const std::u16string utf16 = Unicode::toUTF16(text);
    std::vector<std::string> pieces;
    for (const Match& match : findAll(utf16)) {
        pieces.push_back(Unicode::toUTF8(std::u16string_view(utf16).substr(match.begin, match.end - match.begin)));
    }
    return pieces;
}

std::string Regex::replacingMatches(std::string_view text, std::string_view replacement) const {
    if (!isValid()) {
        return std::string(text);
    }
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString source =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::unique_ptr<icu::RegexMatcher> matcher(impl_->pattern->matcher(source, status));
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    const icu::UnicodeString result = matcher->replaceAll(
        icu::UnicodeString::fromUTF8(icu::StringPiece(replacement.data(), static_cast<int32_t>(replacement.size()))),
        status);
    if (U_FAILURE(status)) {
        // A template naming a group the expression lacks: the text stays as it was.
        return std::string(text);
    }
    std::string out;
    result.toUTF8String(out);
    return out;
}

namespace {

// Components split with the same few expressions over and over; each thread keeps them compiled.
const Regex& compiled(std::string_view pattern) {
    thread_local std::unordered_map<std::string, std::unique_ptr<Regex>> expressions;
    auto found = expressions.find(std::string(pattern));
    if (found == expressions.end()) {
        if (expressions.size() >= 64) {
            expressions.clear();
        }
        found = expressions.emplace(std::string(pattern), std::make_unique<Regex>(pattern)).first;
    }
    return *found->second;
}

struct Span {
    std::size_t begin;
    std::size_t end;
};

// Matches in UTF-8 byte offsets. Literal patterns are searched by exact code units.
std::vector<Span> findSpans(std::string_view text, std::string_view pattern, bool regex, std::u16string* utf16Out) {
    std::vector<Span> spans;
    if (!regex) {
        if (pattern.empty()) {
            return spans;
        }
        for (std::size_t at = text.find(pattern); at != std::string_view::npos; at = text.find(pattern, at + pattern.size())) {
            spans.push_back({at, at + pattern.size()});
        }
        return spans;
    }
    const std::u16string utf16 = Unicode::toUTF16(text);
    const auto matches = compiled(pattern).findAll(utf16);
    // UTF-16 offsets to UTF-8 offsets of the repaired text.
    std::vector<std::size_t> offsets(utf16.size() + 1, 0);
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        offsets[i] = bytes;
        const char16_t unit = utf16[i];
        if (unit < 0x80) {
            bytes += 1;
        } else if (unit < 0x800) {
            bytes += 2;
        } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size()) {
            bytes += 4;
            offsets[++i] = bytes - 4;
        } else {
            bytes += 3;
        }
    }
    offsets[utf16.size()] = bytes;
    for (const auto& match : matches) {
        spans.push_back({offsets[match.begin], offsets[match.end]});
    }
    if (utf16Out != nullptr) {
        *utf16Out = utf16;
    }
    return spans;
}

// The text the spans index: the text itself when it is well-formed, else its repaired form.
std::string indexedText(std::string_view text, bool regex) {
    if (!regex || Unicode::isValidUTF8(text)) {
        return std::string(text);
    }
    return Unicode::toUTF8(Unicode::toUTF16(text));
}

} // namespace

std::vector<std::string> rangesOf(std::string_view text, std::string_view pattern, bool regex) {
    const std::string source = indexedText(text, regex);
    std::vector<std::string> pieces;
    for (const Span& span : findSpans(source, pattern, regex, nullptr)) {
        pieces.push_back(source.substr(span.begin, span.end - span.begin));
    }
    return pieces;
}

std::vector<std::string> split(std::string_view text, std::string_view separator, bool regex, bool includeSeparators) {
    const std::string source = indexedText(text, regex);
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (const Span& span : findSpans(source, separator, regex, nullptr)) {
        if (span.begin > start) {
            pieces.push_back(source.substr(start, span.begin - start));
        }
        if (includeSeparators && span.end > span.begin) {
            pieces.push_back(source.substr(span.begin, span.end - span.begin));
        }
        start = std::max(start, span.end);
    }
    if (start < source.size()) {
        pieces.push_back(source.substr(start));
    }
    return pieces;
}

std::vector<std::string> split(std::string_view text, std::string_view separator, bool regex,
                               SplitDelimiterBehavior behavior) {
    switch (behavior) {
    case SplitDelimiterBehavior::removed:
        return split(text, separator, regex, false);
    case SplitDelimiterBehavior::isolated:
        return split(text, separator, regex, true);
    case SplitDelimiterBehavior::mergedWithPrevious: {
        const std::string source = indexedText(text, regex);
        std::vector<std::string> pieces;
        std::size_t start = 0;
        for (const Span& span : findSpans(source, separator, regex, nullptr)) {
            if (span.end > start) {
                pieces.push_back(source.substr(start, span.end - start));
                start = span.end;
            }
        }
        if (start < source.size()) {
            pieces.push_back(source.substr(start));
        }
        return pieces;
    }
    case SplitDelimiterBehavior::mergedWithNext: {
        const std::string source = indexedText(text, regex);
        std::vector<std::string> pieces;
        std::size_t start = 0;
        for (const Span& span : findSpans(source, separator, regex, nullptr)) {
            if (span.begin > start) {
                pieces.push_back(source.substr(start, span.begin - start));
                start = span.begin;
            }
        }
        if (start < source.size()) {
            pieces.push_back(source.substr(start));
        }
        return pieces;
    }
    }
    return {std::string(text)};
}

std::vector<std::string> split(std::string_view text, const Regex& regex) {
    const std::u16string utf16 = Unicode::toUTF16(text);
    const auto matches = regex.findAll(utf16);
    if (matches.empty()) {
        return {Unicode::isValidUTF8(text) ? std::string(text) : Unicode::toUTF8(utf16)};
    }
    const std::u16string_view view(utf16);
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (const auto& match : matches) {
        if (match.begin > start) {
            pieces.push_back(Unicode::toUTF8(view.substr(start, match.begin - start)));
        }
        if (match.groupEnd > match.groupBegin) {
            pieces.push_back(Unicode::toUTF8(view.substr(match.groupBegin, match.groupEnd - match.groupBegin)));
        }
        start = match.end;
    }
    if (start < view.size()) {
        pieces.push_back(Unicode::toUTF8(view.substr(start)));
    }
    return pieces;
}

} // namespace VuzadoDudi

namespace VuzadoDudi {

std::string replacingOccurrences(std::string_view text, std::string_view target, std::string_view replacement) {
    if (target.empty()) {
        return std::string(text);
    }
    std::string out;
    std::size_t start = 0;
    for (std::size_t at = text.find(target); at != std::string_view::npos; at = text.find(target, start)) {
        out.append(text, start, at - start);
        out += replacement;
        start = at + target.size();
    }
    out.append(text, start);
    return out;
}

} // namespace VuzadoDudi
