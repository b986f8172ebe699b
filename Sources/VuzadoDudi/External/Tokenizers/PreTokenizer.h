#pragma once

// Pre-tokenizers cut the normalized text into the pieces the vocabulary model tokenizes one by one, as the
// "pre_tokenizer" object of a tokenizer definition says.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VuzadoDudi/Config.h"
#include "VuzadoDudi/External/Tokenizers/StringSplitting.h"

namespace VuzadoDudi {

// `firstSection`: the text is the first section of the input (before any added token).
struct PreTokenizerOptions {
    bool firstSection = false;
};

class PreTokenizer {
public:
    virtual ~PreTokenizer() = default;
    virtual std::vector<std::string> preTokenize(const std::string& text,
                                                 PreTokenizerOptions options) const = 0;
    std::vector<std::string> preTokenize(const std::vector<std::string>& texts,
                                         PreTokenizerOptions options) const;
    // Calls `use` with each piece of preTokenize, in order, without making the list of them.
    virtual void forEachPiece(const std::string& text, PreTokenizerOptions options,
                              const std::function<void(const std::string&)>& use) const;
    std::vector<std::string> operator()(const std::string& text, PreTokenizerOptions options = {}) const {
        return preTokenize(text, options);
    }
};

namespace PreTokenizerFactory {
// Nothing for no configuration or no text "type"; TokenizerError (the fixed message) for an unsupported type
// or a Sequence without its list.
std::unique_ptr<PreTokenizer> fromConfig(const Config* config);
} // namespace PreTokenizerFactory

struct StringSplitPattern {
    enum class Kind { regexp, string };
    Kind kind = Kind::string;
    std::string pattern;
    // {"String": ...} or {"Regex": ...} under "pattern"; nothing otherwise.
    static std::optional<StringSplitPattern> from(const Config& config);
};

class PreTokenizerSequence : public PreTokenizer {
public:
    explicit PreTokenizerSequence(const Config& config);
    std::vector<std::string> preTokenize(const std::string& text, PreTokenizerOptions options) const override;

private:
    std::vector<std::unique_ptr<PreTokenizer>> preTokenizers_;
};

// The matches of one fixed expression; the text between them is dropped.
class RegexPreTokenizer : public PreTokenizer {
public:
    explicit RegexPreTokenizer(const std::string& expression)
        : re_(expression) {}
    std::vector<std::string> preTokenize(const std::string& text, PreTokenizerOptions options) const override;
    const std::string& expression() const { return re_.pattern(); }

    // Runs of characters that are neither white space nor punctuation, or one punctuation character (ASCII
    // symbols count as punctuation).
    static const char* const bert;
    // Runs of non-punctuation (white space included) or runs of punctuation.
    static const char* const punctuation;
    // Word runs or runs of other non-blank characters: "Hello, world!" gives Hello , world !
    static const char* const whitespace;
    // Runs of non-blank characters.
    static const char* const whitespaceSplit;
    static std::string digits(bool individualDigits);

private:
    Regex re_;
};

class ByteLevelPreTokenizer : public PreTokenizer {
public:
    explicit ByteLevelPreTokenizer(const Config& config);
    std::vector<std::string> preTokenize(const std::string& text, PreTokenizerOptions options) const override;
    void forEachPiece(const std::string& text, PreTokenizerOptions options,
                      const std::function<void(const std::string&)>& use) const override;

    // Contractions, letter runs, number runs, other runs (each with an optional leading blank), and blanks.
    static const char* const pattern;

private:
    bool addPrefixSpace_;
    bool trimOffsets_;
    bool useRegex_;
};

class MetaspacePreTokenizer : public PreTokenizer {
public:
    enum class PrependScheme { first, never, always };
    explicit MetaspacePreTokenizer(const Config& config);
    std::vector<std::string> preTokenize(const std::string& text, PreTokenizerOptions options) const override;

private:
    bool addPrefixSpace_;
    std::string replacement_;
    std::string stringReplacement_;
    PrependScheme prependScheme_;
};

class SplitPreTokenizer : public PreTokenizer {
public:
    explicit SplitPreTokenizer(const Config& config);
    std::vector<std::string> preTokenize(const std::string& text, PreTokenizerOptions options) const override;

private:
    std::optional<StringSplitPattern> pattern_;
    bool invert_;
};

// The pieces of the byte-level expression in a text, found without a regular-expression engine; gives exactly
// what ICU gives for ByteLevelPreTokenizer::pattern.
std::vector<std::string_view> byteLevelPieces(std::string_view text);

} // namespace VuzadoDudi
