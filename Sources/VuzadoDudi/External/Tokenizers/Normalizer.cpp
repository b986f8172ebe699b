#include "VuzadoDudi/External/Tokenizers/Normalizer.h"

#include "VuzadoDudi/External/Tokenizers/ConfigReading.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"

namespace VuzadoDudi {

using ConfigReading::flag;
using ConfigReading::text;

std::optional<StringReplacePattern> StringReplacePattern::from(const Config& config) {
    auto content = text(config, "content");
    if (!content) {
        return std::nullopt;
    }
    const Config& pattern = config["pattern"];
    if (auto literal = text(pattern, "String")) {
        return StringReplacePattern{Kind::string, *literal, *content, nullptr};
    }
    if (auto expression = text(pattern, "Regex")) {
        auto compiled = Regex::compile(*expression);
        if (!compiled->isValid()) {
            throw TokenizerError::invalidDefinition("Cannot build regexp from " + *expression);
        }
        return StringReplacePattern{Kind::regexp, *expression, *content, std::move(compiled)};
    }
    return std::nullopt;
}

std::string StringReplacePattern::apply(const std::string& text) const {
    if (kind == Kind::regexp) {
        return regexp->replacingMatches(text, replacement);
    }
    return replacingOccurrences(text, pattern, replacement);
}

std::unique_ptr<Normalizer> NormalizerFactory::fromConfig(const Config* config) {
    const auto type = ConfigReading::type(config);
    if (!type) {
        return nullptr;
    }
    using Form = Unicode::NormalizationForm;
    if (*type == "Sequence") {
        return std::make_unique<NormalizerSequence>(*config);
    }
    if (*type == "Prepend") {
        return std::make_unique<PrependNormalizer>(*config);
    }
    if (*type == "Replace") {
        return std::make_unique<ReplaceNormalizer>(*config);
    }
    if (*type == "Lowercase") {
        return std::make_unique<LowercaseNormalizer>();
    }
    if (*type == "NFD") {
        return std::make_unique<UnicodeFormNormalizer>(Form::nfd);
    }
    if (*type == "NFC") {
        return std::make_unique<UnicodeFormNormalizer>(Form::nfc);
    }
    if (*type == "NFKD") {
        return std::make_unique<UnicodeFormNormalizer>(Form::nfkd);
    }
    if (*type == "NFKC") {
        return std::make_unique<UnicodeFormNormalizer>(Form::nfkc);
    }
    if (*type == "Bert" || *type == "BertNormalizer") {
        return std::make_unique<BertNormalizer>(*config);
    }
    if (*type == "Precompiled") {
        return std::make_unique<PrecompiledNormalizer>();
    }
    if (*type == "StripAccents") {
        return std::make_unique<StripAccentsNormalizer>();
    }
    if (*type == "Strip") {
        return std::make_unique<StripNormalizer>(*config);
    }
    throw TokenizerError::invalidDefinition("Unsupported Normalizer type: " + *type);
}

NormalizerSequence::NormalizerSequence(const Config& config) {
    const Config::Array* elements = config["normalizers"].arrayValue();
    if (elements == nullptr) {
        throw TokenizerError::invalidDefinition("No normalizers in Sequence");
    }
    for (const Config& element : *elements) {
        if (auto normalizer = NormalizerFactory::fromConfig(&element)) {
            normalizers_.push_back(std::move(normalizer));
        }
    }
}

std::string NormalizerSequence::normalize(const std::string& text) const {
    std::string result = text;
    for (const auto& normalizer : normalizers_) {
        result = normalizer->normalize(result);
    }
    return result;
}

PrependNormalizer::PrependNormalizer(const Config& config)
    : prepend_(text(config, "prepend").value_or("")) {}

ReplaceNormalizer::ReplaceNormalizer(const Config& config)
    : pattern_(StringReplacePattern::from(config)) {}

std::string ReplaceNormalizer::normalize(const std::string& text) const {
    return pattern_ ? pattern_->apply(text) : text;
}

std::string LowercaseNormalizer::normalize(const std::string& text) const { return Unicode::lowercased(text); }

std::string UnicodeFormNormalizer::normalize(const std::string& text) const { return Unicode::normalized(text, form_); }

BertNormalizer::BertNormalizer(const Config& config)
    : shouldCleanText_(flag(config, "cleanText", true))
    , shouldHandleChineseChars_(flag(config, "handleChineseChars", true))
    , shouldStripAccents_(false)
    , shouldLowercase_(flag(config, "lowercase", true)) {
    shouldStripAccents_ = flag(config, "stripAccents", shouldLowercase_);
}

namespace {

std::string withoutNonspacingMarks(const std::string& text) {
    std::string out;
    for (const char32_t c : Unicode::codePoints(text)) {
        if (!Unicode::isNonspacingMark(c)) {
            Unicode::appendUTF8(out, c);
        }
    }
    return out;
}

} // namespace

std::string BertNormalizer::normalize(const std::string& input) const {
    std::string text = input;
    if (shouldCleanText_) {
        // Tab, line feed and carriage return become a blank; a character that is no text (NUL, U+FFFD, a
        // control or format character, a surrogate, private use or unassigned) is dropped, as the definition
        // format means.
        std::string out;
        for (const auto character : Unicode::characters(text)) {
            const char32_t first = Unicode::firstCodePoint(character);
            if (first == U'\t' || first == U'\n' || first == U'\r') {
                out += ' ';
            } else if (first == 0 || first == 0xFFFD || Unicode::isControlOrFormat(first)) {
                continue;
            } else {
                out += character;
            }
        }
        text = std::move(out);
    }
    if (shouldHandleChineseChars_) {
        text = Unicode::isolatingCJKIdeographs(text);
    }
    if (shouldStripAccents_) {
        std::string out;
        for (const char32_t c : Unicode::codePoints(Unicode::normalized(text, Unicode::NormalizationForm::nfd))) {
            if (c < 0x0300 || c > 0x036F) {
                Unicode::appendUTF8(out, c);
            }
        }
        text = std::move(out);
    }
    if (shouldLowercase_) {
        text = Unicode::lowercased(text);
    }
    return text;
}

std::string PrecompiledNormalizer::normalize(const std::string& text) const {
    std::string out;
    bool sawTilde = false;
    for (const char32_t c : Unicode::codePoints(text)) {
        if ((c >= 0x01 && c <= 0x08) || c == 0x0B || (c >= 0x0E && c <= 0x1F) || c == 0x7F || c == 0x8F || c == 0x9F) {
            continue;
        }
        if (c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x1680 || (c >= 0x200B && c <= 0x200F) ||
            c == 0x2028 || c == 0x2029 || c == 0x2581 || c == 0xFEFF || c == 0xFFFD) {
            out += ' ';
            continue;
        }
        if (c == 0xFF5E) {
            sawTilde = true;
        }
        Unicode::appendUTF8(out, c);
    }
    if (!sawTilde) {
        return Unicode::normalized(out, Unicode::NormalizationForm::nfkc);
    }
    // NFKC would fold the fullwidth tilde to "~": normalise around it.
    std::string result;
    bool first = true;
    for (const auto& piece : split(out, "\uFF5E", false, false)) {
        if (!first) {
            result += "\uFF5E";
        }
        result += Unicode::normalized(piece, Unicode::NormalizationForm::nfkc);
        first = false;
    }
    return result;
}

std::string StripAccentsNormalizer::normalize(const std::string& text) const {
    return withoutNonspacingMarks(Unicode::normalized(text, Unicode::NormalizationForm::nfd));
}

StripNormalizer::StripNormalizer(const Config& config)
    : leftStrip_(flag(config, "stripLeft", true))
    , rightStrip_(flag(config, "stripRight", true)) {}

std::string StripNormalizer::normalize(const std::string& text) const {
    return Unicode::trimmingWhitespace(text, leftStrip_, rightStrip_);
}

} // namespace VuzadoDudi
