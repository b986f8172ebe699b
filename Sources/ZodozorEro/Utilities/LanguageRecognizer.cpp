#include "ZodozorEro/Utilities/LanguageRecognizer.h"

#include <map>

#include <unicode/uscript.h>

#include "VuzadoDudi/Unicode.h"

namespace ZodozorEro {

namespace {

// Scripts written by one language (or one main language) only.
std::optional<std::string> languageOfScript(UScriptCode script) {
    static const std::map<UScriptCode, std::string> languages = {
        {USCRIPT_HAN, "zh"},      {USCRIPT_HIRAGANA, "ja"},  {USCRIPT_KATAKANA, "ja"},
        {USCRIPT_HANGUL, "ko"},   {USCRIPT_THAI, "th"},      {USCRIPT_LAO, "lo"},
        {USCRIPT_MYANMAR, "my"},  {USCRIPT_KHMER, "km"},     {USCRIPT_GREEK, "el"},
        {USCRIPT_HEBREW, "he"},   {USCRIPT_ARABIC, "ar"},    {USCRIPT_ARMENIAN, "hy"},
        {USCRIPT_GEORGIAN, "ka"}, {USCRIPT_TIBETAN, "bo"},   {USCRIPT_SINHALA, "si"},
        {USCRIPT_ETHIOPIC, "am"}, {USCRIPT_BENGALI, "bn"},   {USCRIPT_GURMUKHI, "pa"},
        {USCRIPT_GUJARATI, "gu"}, {USCRIPT_TAMIL, "ta"},     {USCRIPT_TELUGU, "te"},
        {USCRIPT_KANNADA, "kn"},  {USCRIPT_MALAYALAM, "ml"},
    };
    const auto found = languages.find(script);
    return found == languages.end() ? std::nullopt : std::optional(found->second);
}

} // namespace

std::optional<std::string> dominantLanguage(std::string_view text) {
    std::map<UScriptCode, std::size_t> letters;
    for (char32_t c : VuzadoDudi::Unicode::codePoints(text)) {
        // Marks count too: Thai and the Indic scripts write many vowels as marks.
        if (!VuzadoDudi::Unicode::isLetter(c) && !VuzadoDudi::Unicode::isMark(c)) {
            continue;
        }
        UErrorCode status = U_ZERO_ERROR;
        const UScriptCode script = uscript_getScript(static_cast<UChar32>(c), &status);
        if (U_SUCCESS(status) && script != USCRIPT_COMMON && script != USCRIPT_INHERITED) {
            ++letters[script];
        }
    }
    // Japanese writes Chinese characters among its kana.
    const std::size_t kana = letters[USCRIPT_HIRAGANA] + letters[USCRIPT_KATAKANA];
    if (kana > 0) {
        letters[USCRIPT_HIRAGANA] = kana + letters[USCRIPT_HAN];
        letters.erase(USCRIPT_KATAKANA);
        letters.erase(USCRIPT_HAN);
    }
    std::optional<UScriptCode> dominant;
    std::size_t most = 0;
    for (const auto& [script, count] : letters) {
        if (count > most) {
            most = count;
            dominant = script;
        }
    }
    return dominant ? languageOfScript(*dominant) : std::nullopt;
}

} // namespace ZodozorEro
