#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace TessarinCore {

// Cleans an engine's raw transcript before insertion and rejects what is not speech: bracketed annotations
// and model tokens are removed, whitespace is collapsed, and transcripts that are only a parenthesised aside
// or a stock phrase that engines invent on silence are discarded. Stateless; callable from any thread.
struct TranscriptPostProcessor {
    // The cleaned text, or nothing when the transcript is to be discarded. `audioIsFaint` (the trimmer's
    // judgement) also discards a few short phrases that engines tend to invent on faint audio.
    std::optional<std::string> process(std::string_view text, bool audioIsFaint) const;

    // The comparison key of a text: folded for case, diacritics and width, without punctuation and symbols,
    // with Arabic letter variants unified and whitespace collapsed.
    static std::string normalized(std::string_view text);

    bool operator==(const TranscriptPostProcessor&) const = default;
};

} // namespace TessarinCore
