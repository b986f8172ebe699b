#pragma once

// Normalizers rewrite the whole input text before it is cut into pieces, as the "normalizer" object of a
// tokenizer definition says.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VuzadoDudi/Config.h"
#include "VuzadoDudi/Unicode.h"
#include "VuzadoDudi/External/Tokenizers/StringSplitting.h"

namespace VuzadoDudi {

class Normalizer {
public:
    virtual ~Normalizer() = default;
    virtual std::string normalize(const std::string& text) const = 0;
    std::string operator()(const std::string& text) const { return normalize(text); }
};

// A literal or regular-expression replacement, shared with the replace decoder.
struct StringReplacePattern {
    enum class Kind { regexp, string };
    Kind kind = Kind::string;
    std::string pattern;
    std::string replacement;
    std::shared_ptr<Regex> regexp;

    // From "content" and "pattern": {"String": ...} or {"Regex": ...}. Nothing without a text "content" or a
    // usable "pattern"; TokenizerError for a "Regex" that does not compile.
    static std::optional<StringReplacePattern> from(const Config& config);
    std::string apply(const std::string& text) const;
};

namespace NormalizerFactory {
// Nothing for no configuration or no text "type"; TokenizerError (the fixed message) for an unsupported type
// or a Sequence without its list.
std::unique_ptr<Normalizer> fromConfig(const Config* config);
} // namespace NormalizerFactory

class NormalizerSequence : public Normalizer {
public:
    explicit NormalizerSequence(const Config& config);
    std::string normalize(const std::string& text) const override;

private:
    std::vector<std::unique_ptr<Normalizer>> normalizers_;
};

class PrependNormalizer : public Normalizer {
public:
    explicit PrependNormalizer(const Config& config);
    std::string normalize(const std::string& text) const override { return prepend_ + text; }

private:
    std::string prepend_;
};

class ReplaceNormalizer : public Normalizer {
public:
    explicit ReplaceNormalizer(const Config& config);
    std::string normalize(const std::string& text) const override;

private:
    std::optional<StringReplacePattern> pattern_;
};

class LowercaseNormalizer : public Normalizer {
public:
    std::string normalize(const std::string& text) const override;
};

class UnicodeFormNormalizer : public Normalizer {
public:
    explicit UnicodeFormNormalizer(Unicode::NormalizationForm form)
        : form_(form) {}
    std::string normalize(const std::string& text) const override;

private:
    Unicode::NormalizationForm form_;
};

class BertNormalizer : public Normalizer {
public:
    explicit BertNormalizer(const Config& config);
    std::string normalize(const std::string& text) const override;

private:
    bool shouldCleanText_;
    bool shouldHandleChineseChars_;
    bool shouldStripAccents_;
    bool shouldLowercase_;
};

class PrecompiledNormalizer : public Normalizer {
public:
    std::string normalize(const std::string& text) const override;
};

// Canonical decomposition with the non-spacing marks removed: "é" becomes "e".
class StripAccentsNormalizer : public Normalizer {
public:
    std::string normalize(const std::string& text) const override;
};

class StripNormalizer : public Normalizer {
public:
    explicit StripNormalizer(const Config& config);
    std::string normalize(const std::string& text) const override;

private:
    bool leftStrip_;
    bool rightStrip_;
};

} // namespace VuzadoDudi
