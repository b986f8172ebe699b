#include "TessarinCore/UseCases/TranscriptPostProcessor.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace TessarinCore {
namespace {

struct ProcessCase {
    std::string input;
    bool audioIsFaint;
    std::optional<std::string> expected; // nothing: the transcript is discarded
};

void expectProcessed(const std::vector<ProcessCase>& cases) {
    const TranscriptPostProcessor processor;
    for (const ProcessCase& c : cases) {
        SCOPED_TRACE("input «" + c.input + "», faint " + std::to_string(c.audioIsFaint));
        EXPECT_EQ(processor.process(c.input, c.audioIsFaint), c.expected);
    }
}

TEST(TranscriptPostProcessorTests, RemovesTagsAndSpecialTokens) {
    expectProcessed({
        {"[BLANK_AUDIO]", false, std::nullopt},
        {"Hello [Music] world", false, "Hello world"},
        {"<|endoftext|>Hi<|en|>", false, "Hi"},
        // Brackets do not nest: the first "]" closes the tag.
        {"a [b [c] d] e", false, "a d] e"},
        // An unclosed bracket stays, and so does a token whose bars do not close it.
        {"[unclosed text", false, "[unclosed text"},
        {"[a] [b", false, "[b"},
        {"<|a|b|> ok", false, "<|a|b|> ok"},
        {"[Music]\n[Applause]", false, std::nullopt},
    });
}

TEST(TranscriptPostProcessorTests, CollapsesWhitespace) {
    expectProcessed({
        {"  Hello\n\tworld  ", false, "Hello world"},
        {"a\u3000b\u2028c\r\nd", false, "a b c d"},
        // A combining mark on a space belongs to that whitespace character.
        {"a \u0301b", false, "a b"},
        {"", false, std::nullopt},
        {" \t\n ", false, std::nullopt},
    });
}

TEST(TranscriptPostProcessorTests, DiscardsATranscriptThatIsOneParenthesisedAside) {
    expectProcessed({
        {"(music)", false, std::nullopt},
        {"(upbeat music)", false, std::nullopt},
        {"()", false, std::nullopt},
        {" [Music] (laughs) ", false, std::nullopt},
        {"(laughs) okay", false, "(laughs) okay"},
        {"okay (laughs)", false, "okay (laughs)"},
        {"(a) and (b)", false, "(a) and (b)"},
        // A parenthesis carrying a combining mark is another character.
        {"(\u0301music)", false, "(\u0301music)"},
    });
}

TEST(TranscriptPostProcessorTests, DiscardsStockPhrasesOnlyAsTheWholeTranscript) {
    expectProcessed({
        {"Thanks for watching!", false, std::nullopt},
        {"Thanks for watching!", true, std::nullopt},
        {"THANK YOU FOR WATCHING.", false, std::nullopt},
        {"Thank you so much for watching!", false, std::nullopt},
        {"Please subscribe.", false, std::nullopt},
        {"Subtitles by the Subtitle.org community", false, std::nullopt},
        {"ＴＨＡＮＫＳ ＦＯＲ ＷＡＴＣＨＩＮＧ", false, std::nullopt},
        {"Thánks for wätching", false, std::nullopt},
        {"Thank you for watching the demo", false, "Thank you for watching the demo"},
        {"ترجمة سارة حداد", false, std::nullopt},
        {"اشتركوا في القناة", false, std::nullopt},
        {"اشترك في القناة!", false, std::nullopt},
        {"شكرًا للمشاهدة", false, std::nullopt},
        {"شكرا لكم على المشاهدة", false, std::nullopt},
        // Alef maksura written as yeh, teh marbuta as heh.
        {"شكرا لكم علي المشاهده", false, std::nullopt},
    });
}

TEST(TranscriptPostProcessorTests, IsStricterOnFaintAudio) {
    expectProcessed({
        {"Thank you.", true, std::nullopt},
        {"Thank you.", false, "Thank you."},
        {"Thanks", true, std::nullopt},
        {"You", true, std::nullopt},
        {"you", false, "you"},
        {"Bye!", true, std::nullopt},
        {"Bye!", false, "Bye!"},
        {"Bye bye", true, "Bye bye"},
        {"شكرا\u064B", true, std::nullopt},
        {"شكرا\u064B", false, "شكرا\u064B"},
    });
}

TEST(TranscriptPostProcessorTests, DiscardsTextWithoutLettersAndKeepsTheRestAsCleaned) {
    expectProcessed({
        {"...", false, std::nullopt},
        {"\u266A\u266B\u266A", false, std::nullopt},
        {"- ... !", false, std::nullopt},
        {"Hello, World!", false, "Hello, World!"},
        {"Crème brûlée", true, "Crème brûlée"},
        // Ill-formed UTF-8 comes back as U+FFFD, never as broken bytes.
        {"ok\xff", false, "ok\uFFFD"},
    });
}

TEST(TranscriptPostProcessorTests, NormalizedFoldsCaseDiacriticsWidthPunctuationAndArabicVariants) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Thanks for watching!", "thanks for watching"},
        {"  Crème\tBRÛLÉE  ", "creme brulee"},
        {"Straße", "strasse"},
        {"ＡＢＣ　ｄｅｆ", "abc def"},
        {"ｶ", "\u30AB"},
        {"e-mail, $5 \u266A", "email 5"},
        {"أَهْلاً", "اهلا"},
        {"إيمان آمن ٱلله", "ايمان امن الله"},
        {"الـــقناة", "القناه"},
        {"مصطفى", "مصطفي"},
        {"\u0670", ""},
        {"", ""},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(TranscriptPostProcessor::normalized(input), expected) << "input «" << input << "»";
    }
}

} // namespace
} // namespace TessarinCore
