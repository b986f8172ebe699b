#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ZodozorEro {

namespace TextUtilities {

// How well the tokens compress: 4 bytes per token (little-endian 32-bit) over their raw deflate size, so
// repetitive output scores high. Positive infinity, after a debug line, when compression fails; no tokens
// give 0.
float compressionRatio(const std::vector<int>& tokens);

// The same over the text's UTF-8 bytes; positive infinity for the empty text.
float compressionRatio(std::string_view text);

} // namespace TextUtilities

// The text without "<", "|" and ">" at either end; inner ones stay ("<|endoftext|>" gives "endoftext").
std::string trimmingSpecialTokenCharacters(std::string_view text);

// The text for comparisons: lower-cased, hyphens as spaces, punctuation removed, runs of spaces as one,
// whitespace and line breaks trimmed at both ends.
std::string normalized(std::string_view text);

} // namespace ZodozorEro
