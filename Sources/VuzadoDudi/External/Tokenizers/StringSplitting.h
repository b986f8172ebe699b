#pragma once

// Finding and splitting on patterns, as the tokenizer components use them. Text is UTF-8; regular expressions
// are ICU's, matched over the UTF-16 form of the text (the syntax and offsets tokenizer definitions were
// written for). An expression that does not compile finds nothing.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace VuzadoDudi {

class Regex {
public:
    explicit Regex(std::string_view pattern);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    static std::shared_ptr<Regex> compile(std::string_view pattern);
    bool isValid() const;
    const std::string& pattern() const { return pattern_; }

    // The successive non-overlapping matches, each as its text.
    std::vector<std::string> matches(std::string_view text) const;
    // Every match replaced by `replacement` used as a template ("$1" is the first group, "\" escapes).
    std::string replacingMatches(std::string_view text, std::string_view replacement) const;

    struct Match {
        std::size_t begin; // UTF-16 offsets
        std::size_t end;
        int group;         // highest-numbered group that took part, 0 when none did
        std::size_t groupBegin;
        std::size_t groupEnd;
    };
    std::vector<Match> findAll(const std::u16string& text) const;

private:
    struct Impl;
    std::string pattern_;
    std::unique_ptr<Impl> impl_;
};

// How a delimiter found by split(..., behavior) is treated.
enum class SplitDelimiterBehavior { removed, isolated, mergedWithPrevious, mergedWithNext };

// The successive matches of a literal `pattern` (or a regular expression when `regex`), as texts. An empty
// match advances one character.
std::vector<std::string> rangesOf(std::string_view text, std::string_view pattern, bool regex);

// The pieces between matches (non-empty), with the matches themselves when `includeSeparators`.
std::vector<std::string> split(std::string_view text, std::string_view separator, bool regex, bool includeSeparators);
std::vector<std::string> split(std::string_view text, std::string_view separator, bool regex,
                               SplitDelimiterBehavior behavior);
// Cut at the matches of `regex`: the text between (non-empty) and, for each match, the text of the
// highest-numbered group that took part (the whole match when none did).
std::vector<std::string> split(std::string_view text, const Regex& regex);

} // namespace VuzadoDudi

namespace VuzadoDudi {
// Every non-overlapping occurrence of `target` (searched from the start, exact code units) replaced.
std::string replacingOccurrences(std::string_view text, std::string_view target, std::string_view replacement);
} // namespace VuzadoDudi
