#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ZodozorEro {

// The language of a text as far as its writing system tells it: the code of the language whose script holds
// most of the text's letters ("ja" when kana appear beside Chinese characters), or nothing when that script
// is shared by many languages (Latin, Cyrillic, Devanagari) or the text has no letters. Enough to tell texts
// written without spaces between words from the others, which is what word splitting asks of it.
std::optional<std::string> dominantLanguage(std::string_view text);

} // namespace ZodozorEro
