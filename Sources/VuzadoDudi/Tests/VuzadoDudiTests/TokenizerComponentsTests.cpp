#include <gtest/gtest.h>

#include "VuzadoDudi/External/Tokenizers/Decoder.h"
#include "VuzadoDudi/External/Tokenizers/Normalizer.h"
#include "VuzadoDudi/External/Tokenizers/PostProcessor.h"
#include "VuzadoDudi/External/Tokenizers/PreTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/StringSplitting.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerError.h"
#include "VuzadoDudi/Unicode.h"

#include <random>

namespace {

using namespace VuzadoDudi;
using Strings = std::vector<std::string>;
using namespace std::string_literals;

Config json(const std::string& text) {
    return Config::parseJSON(text);
}

// The message a definition is refused with, or "" when it is accepted.
template <class Build>
std::string refusal(Build build) {
    try {
        build();
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.kind(), TokenizerError::Kind::invalidDefinition);
        return error.what();
    }
    return "";
}

TEST(StringSplittingTest, DelimiterBehaviours) {
    using B = SplitDelimiterBehavior;
    struct Case {
        std::string text;
        std::string separator;
        bool regex;
        B behavior;
        Strings expected;
    };
    const std::vector<Case> cases = {
        {"a-b--c", "-", false, B::removed, {"a", "b", "c"}},
        {"a-b--c", "-", false, B::isolated, {"a", "-", "b", "-", "-", "c"}},
        {"a-b--c", "-", false, B::mergedWithPrevious, {"a-", "b-", "-", "c"}},
        {"a-b--c", "-", false, B::mergedWithNext, {"a", "-b", "-", "-c"}},
        {"-a-", "-", false, B::mergedWithNext, {"-a", "-"}},
        {"\u2581Hey\u2581friend", "\u2581", true, B::mergedWithNext, {"\u2581Hey", "\u2581friend"}},
        {"x1y22z", "\\d+", true, B::isolated, {"x", "1", "y", "22", "z"}},
        {"caf\u00E9 \U0001F600 ok", " ", true, B::removed, {"caf\u00E9", "\U0001F600", "ok"}},
        {"", "-", false, B::isolated, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(split(c.text, c.separator, c.regex, c.behavior), c.expected)
            << c.text << " by " << c.separator;
    }
}

TEST(StringSplittingTest, RegexSplitKeepsTheTakingGroup) {
    EXPECT_EQ(split("x<s>y", Regex("(<s>)")), (Strings{"x", "<s>", "y"}));
    EXPECT_EQ(split("no match", Regex("(<s>)")), (Strings{"no match"}));
    // The group that took part is kept; what the match absorbed around it is not.
    EXPECT_EQ(split("a  <b>c", Regex("\\s*(<b>)|(<d>)")), (Strings{"a", "<b>", "c"}));
    // An invalid expression finds nothing, and nothing crashes.
    EXPECT_EQ(split("a(b", Regex("(")), (Strings{"a(b"}));
    EXPECT_EQ(rangesOf("ab", "x*", true), (Strings{"", "", ""}));
}

TEST(NormalizerTest, Members) {
    struct Case {
        std::string config;
        std::string input;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {R"({"type": "Bert"})", "H\u00E9llo\tWORLD \u4F60\u597D", "hello world  \u4F60  \u597D "},
        {R"({"type": "BertNormalizer", "lowercase": false})", "H\u00E9llo", "H\u00E9llo"},
        {R"({"type": "BertNormalizer"})", "a\r\nb", "a b"},
        // Control and format characters are not text: they are dropped.
        {R"({"type": "BertNormalizer", "lowercase": false})",
         "a\x07"
         "b\u200Bc\u00ADd\x00"
         "e"s,
         "abcde"},
        {R"({"type": "Prepend"})", "abc", "abc"},
        {R"({"type": "Prepend", "prepend": "\u2581"})", "abc", "\u2581abc"},
        {R"({"type": "Replace", "pattern": {"String": " "}, "content": "\u2581"})", "a  b", "a\u2581\u2581b"},
        {R"({"type": "Replace", "pattern": {"String": " "}})", "a b", "a b"},
        {R"({"type": "Replace", "pattern": {"Regex": " {2,}"}, "content": " "})", "a   b  c", "a b c"},
        {R"x({"type": "Replace", "pattern": {"Regex": "(\\d)"}, "content": "<$1>"})x", "a1b2", "a<1>b<2>"},
        {R"({"type": "Sequence", "normalizers": []})", "Keep", "Keep"},
        {R"({"type": "Sequence", "normalizers": [{"type": "NFD"}, {"type": "Lowercase"}, {}]})", "\u00C9",
         "e\u0301"},
        {R"({"type": "NFC"})", "e\u0301", "\u00E9"},
        {R"({"type": "NFKC"})", "\uFB01", "fi"},
        {R"({"type": "NFKD"})", "\u00E9", "e\u0301"},
        {R"({"type": "Lowercase"})", "\u0130STANBUL", "i\u0307stanbul"},
        // Accents go; other marks (the Arabic vowel sign is one too) go with them, base letters stay.
        {R"({"type": "StripAccents"})", "e\u0301t\u00E9 \u0643\u064E", "ete \u0643"},
        {R"({"type": "Precompiled"})", "a\u200Bb", "a b"},
        {R"({"type": "Precompiled"})", "a\uFF5E\uFF5Eb", "a\uFF5Eb"},
        {R"({"type": "Precompiled"})", "\uFF5E", ""},
        {R"({"type": "Precompiled"})", "\uFF21\x01", "A"},
        {R"({"type": "Strip", "stripLeft": false})", " \t a \n", " \t a"},
        {R"({"type": "Strip"})", "\r\n a \u3000", "a"},
    };
    for (const auto& c : cases) {
        const Config config = json(c.config);
        const auto normalizer = NormalizerFactory::fromConfig(&config);
        ASSERT_NE(normalizer, nullptr) << c.config;
        EXPECT_EQ(normalizer->normalize(c.input), c.expected) << c.config;
    }
}

TEST(NormalizerTest, FactoryRefusalsAndAbsences) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {R"({"type": ""})", "Unsupported Normalizer type: "},
        {R"({"type": "lowercase"})", "Unsupported Normalizer type: lowercase"},
        {R"({"type": "Sequence"})", "No normalizers in Sequence"},
        {R"({"type": "Sequence", "normalizers": [{"type": "Nope"}]})", "Unsupported Normalizer type: Nope"},
        {R"({"type": "Replace", "pattern": {"Regex": "("}, "content": ""})", "Cannot build regexp from ("},
    };
    for (const auto& [text, message] : refused) {
        const Config config = json(text);
        EXPECT_EQ(refusal([&] { NormalizerFactory::fromConfig(&config); }), message);
    }
    const Config noType = json(R"({"lowercase": true})");
    EXPECT_EQ(NormalizerFactory::fromConfig(&noType), nullptr);
    EXPECT_EQ(NormalizerFactory::fromConfig(nullptr), nullptr);
}

TEST(PreTokenizerTest, Members) {
    struct Case {
        std::string config;
        std::string input;
        bool firstSection;
        Strings expected;
    };
    const std::vector<Case> cases = {
        // Word runs and punctuation runs, not blanks alone.
        {R"({"type": "Whitespace"})", "Hello,  world!", true, {"Hello", ",", "world", "!"}},
        {R"({"type": "Whitespace"})",
         "don't \u0645\u0631\u062D\u0628\u0627\u061F",
         true,
         {"don", "'", "t", "\u0645\u0631\u062D\u0628\u0627", "\u061F"}},
        {R"({"type": "WhitespaceSplit"})", "Hello,  world!", true, {"Hello,", "world!"}},
        {R"({"type": "BertPreTokenizer"})", "Hello, world!", true, {"Hello", ",", "world", "!"}},
        {R"({"type": "Punctuation"})", "Hello, world!", true, {"Hello", ",", " world", "!"}},
        {R"({"type": "Digits"})", "abc 123", true, {"abc ", "123"}},
        {R"({"type": "Digits", "individual_digits": true})", "abc 123", true, {"abc ", "1", "2", "3"}},
        {R"({"type": "ByteLevel"})", "Hello world", true, {"Hello", "\u0120world"}},
        // The prefix blank goes in front of the text, not in front of every piece.
        {R"({"type": "ByteLevel", "add_prefix_space": true})",
         "Hello world!",
         true,
         {"\u0120Hello", "\u0120world", "!"}},
        {R"({"type": "ByteLevel", "add_prefix_space": true})", " Hi", false, {"\u0120Hi"}},
        // Nothing to tokenize gets no prefix blank either.
        {R"({"type": "ByteLevel", "add_prefix_space": true})", "", true, {}},
        {R"({"type": "ByteLevel", "add_prefix_space": true, "use_regex": false})", "", true, {}},
        {R"({"type": "ByteLevel"})", "", true, {}},
        // Vertical tab and next line are blanks: a contraction after them stays whole.
        {R"({"type": "ByteLevel"})", "a\v's", true, {"a", "\u010B", "'s"}},
        {R"({"type": "ByteLevel"})", "a\u0085's", true, {"a", "\u00C2\u0127", "'s"}},
        {R"({"type": "ByteLevel", "use_regex": false})", "Hi you", true, {"Hi\u0120you"}},
        {R"({"type": "ByteLevel"})", "I'm  ok\n", true, {"I", "'m", "\u0120", "\u0120ok", "\u010A"}},
        {R"({"type": "Metaspace", "replacement": "\u2581", "add_prefix_space": true, "prepend_scheme": "first"})",
         "Hey friend",
         true,
         {"\u2581Hey", "\u2581friend"}},
        {R"({"type": "Metaspace", "replacement": "\u2581", "add_prefix_space": true, "prepend_scheme": "first"})",
         "Hey friend",
         false,
         {"Hey", "\u2581friend"}},
        {R"({"type": "Metaspace", "replacement": "\u2581", "add_prefix_space": true, "prepend_scheme": "never"})",
         "Hey friend",
         true,
         {"Hey", "\u2581friend"}},
        {R"({"type": "Metaspace", "replacement": "\u2581", "add_prefix_space": true})",
         "Hey friend",
         false,
         {"\u2581Hey", "\u2581friend"}},
        {R"({"type": "Metaspace"})", "a b c", true, {"a", " b", " c"}},
        {R"({"type": "Split", "pattern": {"String": "-"}})", "a-b--c", true, {"a", "-", "b", "-", "-", "c"}},
        {R"({"type": "Split", "pattern": {"String": "-"}, "invert": true})", "a-b--c", true, {"a", "b", "c"}},
        {R"({"type": "Split", "pattern": {"Regex": "\\s+"}})", "a  b", true, {"a", "  ", "b"}},
        {R"({"type": "Split", "pattern": {}})", "a b", true, {"a b"}},
        {R"({"type": "Sequence", "pretokenizers": [{"type": "WhitespaceSplit"}, {"type": "Digits"}]})",
         "ab12 cd",
         true,
         {"ab", "12", "cd"}},
        {R"({"type": "Sequence", "pretokenizers": []})", "as is", true, {"as is"}},
    };
    for (const auto& c : cases) {
        const Config config = json(c.config);
        const auto preTokenizer = PreTokenizerFactory::fromConfig(&config);
        ASSERT_NE(preTokenizer, nullptr) << c.config;
        EXPECT_EQ(preTokenizer->preTokenize(c.input, {.firstSection = c.firstSection}), c.expected)
            << c.config << " on " << c.input;
    }
    for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
             {R"({"type": "Bert"})", "Unsupported PreTokenizer type: Bert"},
             {R"({"type": "Sequence"})", "No pretokenizers in Sequence"}}) {
        const Config config = json(text);
        EXPECT_EQ(refusal([&] { PreTokenizerFactory::fromConfig(&config); }), message);
    }
}

// Text made of the pieces the expression tells apart, with the code points where engines tend to disagree:
// every kind of blank (vertical tab and next line among them), controls that are not blanks, letters,
// numbers, marks, symbols and contractions; now and then any code point at all.
std::string generatedText(std::mt19937& random) {
    static const std::vector<std::string> alphabet = {
        "a",      "Z",          "\u00E9", "\u0645", "\u4E16", "\u01C5", "0",      "9",      "\u0663",
        "\u2167", "\u00BD",     " ",      "  ",     "\t",     "\n",     "\v",     "\f",     "\r",
        "\u0085", "\u00A0",     "\u1680", "\u2000", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000",
        "\u001C", "\u001F",     "\u200B", "\u180E", "\uFEFF", "'",      "'s",     "'t",     "'re",
        "'ve",    "'m",         "'ll",    "'d",     "'S",     "'r",     "!",      ".",      "$",
        "\u0301", "\U0001F600", "\uFFFD", "\x7F",
    };
    std::uniform_int_distribution<std::size_t> length(0, 24);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size());
    std::uniform_int_distribution<char32_t> anyCodePoint(1, 0x10FFFF);
    std::string text;
    for (std::size_t n = length(random); n > 0; --n) {
        const std::size_t choice = pick(random);
        if (choice < alphabet.size()) {
            text += alphabet[choice];
            continue;
        }
        char32_t c = anyCodePoint(random);
        if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        Unicode::appendUTF8(text, c);
    }
    return text;
}

// The hand-written scanner must cut exactly where ICU's engine cuts with the same expression.
TEST(PreTokenizerTest, ByteLevelScannerAgreesWithTheRegularExpression) {
    std::vector<std::string> texts = {
        "Hello world",
        "I'm here, it's 2024's best!!  ok\n\n  end  ",
        "'s'S 're'll'd'x",
        "  ",
        " ",
        "\t\t\nx",
        "caf\u00E9 na\u00EFve e\u0301t\u00E9",
        "\u0645\u0631\u062D\u0628\u0627 \u0628\u0643\u0645 \u0661\u0662",
        "\u4F60\u597D\u3002\u4E16\u754C",
        "\U0001F600 \U0001F44D\U0001F3FD!",
        "x\u00A0y\u2028z\u3000w\u0085v\u000Bu",
        "1.5e10 \u00BD \u2167",
        "a\u200Db\u200B c",
        "\u0301 \u0301a",
        "a\v's",
        " \u0085x",
        "!\v\v!",
        "\u0085 's",
    };
    // Every code point class the expression tells apart, next to blanks and letters.
    std::string sweep;
    for (char32_t c = 1; c < 0x3100; c += 7) {
        if (c >= 0xD800 && c <= 0xDFFF) {
            continue;
        }
        Unicode::appendUTF8(sweep, c);
        sweep += (c % 3 == 0) ? " " : "a";
    }
    texts.push_back(sweep);
    std::mt19937 random(20261210);
    for (int i = 0; i < 4000; ++i) {
        texts.push_back(generatedText(random));
    }
    const Regex reference(ByteLevelPreTokenizer::pattern);
    for (const auto& text : texts) {
        const auto pieces = byteLevelPieces(text);
        EXPECT_EQ(Strings(pieces.begin(), pieces.end()), reference.matches(text)) << text;
    }
}

TEST(DecoderTest, Members) {
    struct Case {
        std::string config;
        Strings input;
        Strings expected;
    };
    const std::vector<Case> cases = {
        {R"({"type": "WordPiece", "prefix": "##", "cleanup": true})",
         {"un", "##aff", "##able", ",", "it", "'s"},
         {"un", "aff", "able", ",", " it", "'s"}},
        {R"({"type": "WordPiece", "prefix": "##"})", {"##a", "b"}, {"##a", " b"}},
        {R"({"type": "WordPiece", "prefix": "##"})", {}, {}},
        {R"({"type": "ByteLevel"})", {"\u0120hello", "\u0120world"}, {" hello world"}},
        // Bytes ending inside a character, and a character outside the byte table, read as U+FFFD.
        {R"({"type": "ByteLevel"})", {"a\u00C3"}, {"a\uFFFD"}},
        {R"({"type": "ByteLevel"})", {"a\u4E00b"}, {"a\uFFFDb"}},
        {R"({"type": "ByteLevel"})", {}, {}},
        {R"({"type": "ByteFallback"})", {"<0xE2>", "<0x82>", "<0xAC>", "x"}, {"\u20AC", "x"}},
        {R"({"type": "ByteFallback"})", {"a", "<0x41>", "<0x42>"}, {"a", "AB"}},
        {R"({"type": "ByteFallback"})",
         {"<0x4G>", "<0x041>", "<0x-1>", "<0xC3>"},
         {"<0x4G>", "<0x041>", "<0x-1>", "\uFFFD"}},
        {R"({"type": "Fuse"})", {"a", "b"}, {"ab"}},
        {R"({"type": "Fuse"})", {}, {""}},
        {R"({"type": "Strip", "content": " ", "start": 1, "stop": 0})", {"  a "}, {" a "}},
        {R"({"type": "Strip", "content": " ", "start": 5, "stop": 5})", {"  a  ", "   "}, {"a", ""}},
        {R"({"type": "Metaspace", "replacement": "\u2581", "add_prefix_space": true})",
         {"\u2581Hello", "\u2581world"},
         {"Hello", " world"}},
        {R"({"type": "Metaspace", "replacement": "\u2581"})",
         {"\u2581Hello", "\u2581world"},
         {" Hello", " world"}},
        {R"({"type": "Metaspace"})", {"a_b"}, {"a b"}},
        {R"({"type": "Replace", "pattern": {"String": "\u2581"}, "content": " "})",
         {"\u2581a\u2581"},
         {" a "}},
        {R"({"type": "Sequence", "decoders": [
             {"type": "Replace", "pattern": {"String": "\u2581"}, "content": " "}, {"type": "ByteFallback"},
             {"type": "Fuse"}, {"type": "Strip", "content": " ", "start": 1, "stop": 0}]})",
         {"\u2581Hi", "<0x21>"},
         {"Hi!"}},
        {R"({"type": "Sequence", "decoders": []})", {"a"}, {"a"}},
    };
    for (const auto& c : cases) {
        const Config config = json(c.config);
        const auto decoder = DecoderFactory::fromConfig(&config);
        ASSERT_NE(decoder, nullptr) << c.config;
        EXPECT_EQ(decoder->decode(c.input), c.expected) << c.config;
    }
}

TEST(DecoderTest, ByteLevelLeavesAddedTokensAlone) {
    const Config config = json(R"({"type": "ByteLevel"})");
    const std::unordered_set<std::string> added{"<|endoftext|>"};
    const auto decoder = DecoderFactory::fromConfig(&config, &added);
    EXPECT_EQ(decoder->decode({"\u0120hello", "<|endoftext|>", "\u0120world"}),
              (Strings{" hello", "<|endoftext|>", " world"}));
}

TEST(DecoderTest, Refusals) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {R"({"type": "wordpiece"})", "Unsupported Decoder type: wordpiece"},
        {R"({"type": ""})", "Unsupported Decoder type: "},
        {R"({"type": "Sequence"})", "No decoders in Sequence"},
        {R"({"type": "WordPiece"})", "Missing `prefix` configuration for WordPieceDecoder."},
        {R"({"type": "Strip", "start": 1, "stop": 1})",
         "Incorrect StripDecoder configuration: can't parse `content`."},
        {R"({"type": "Strip", "content": " ", "start": "1"})",
         "Incorrect StripDecoder configuration: can't parse `start`."},
        {R"({"type": "Strip", "content": " ", "start": 1})",
         "Incorrect StripDecoder configuration: can't parse `stop`."},
    };
    for (const auto& [text, message] : refused) {
        const Config config = json(text);
        EXPECT_EQ(refusal([&] { DecoderFactory::fromConfig(&config); }), message);
    }
}

// A template that repeats the sequence, or leaves it out, cannot be written as tokens around it.
TEST(PostProcessorTest, SurroundingOfTemplates) {
    const auto special = [](const std::string& id) { return R"({"SpecialToken": {"id": ")" + id + R"("}})"; };
    const std::string a = R"({"Sequence": {"id": "A"}})";
    const std::string b = R"({"Sequence": {"id": "B"}})";
    struct Case {
        std::string single;
        bool addSpecial;
        std::optional<std::pair<Strings, Strings>> around;
    };
    const std::vector<Case> cases = {
        {special("<s>") + "," + special("<t>") + "," + a + "," + b + "," + special("</s>"), true,
         std::pair{Strings{"<s>", "<t>"}, Strings{"</s>"}}},
        {special("<s>") + "," + a + "," + special("</s>"), false, std::pair{Strings{}, Strings{}}},
        {a + "," + special("<s>") + "," + a, true, std::nullopt},
        {special("<s>") + "," + b, true, std::nullopt},
    };
    for (const auto& c : cases) {
        const Config config =
            json(R"({"type": "TemplateProcessing", "pair": [], "single": [)" + c.single + "]}");
        const auto processor = PostProcessorFactory::fromConfig(&config);
        ASSERT_NE(processor, nullptr) << c.single;
        const auto around = processor->surrounding(c.addSpecial);
        ASSERT_EQ(around.has_value(), c.around.has_value()) << c.single;
        if (around) {
            EXPECT_EQ(around->before, c.around->first) << c.single;
            EXPECT_EQ(around->after, c.around->second) << c.single;
        }
        const Strings tokens = {"x", "y"};
        const auto processed = processor->postProcess(tokens, std::nullopt, c.addSpecial);
        if (around) {
            Strings framed = around->before;
            framed.insert(framed.end(), tokens.begin(), tokens.end());
            framed.insert(framed.end(), around->after.begin(), around->after.end());
            EXPECT_EQ(processed, framed) << c.single;
        }
    }
}

TEST(PostProcessorTest, Members) {
    using Pair = std::optional<Strings>;
    struct Case {
        std::string config;
        Strings tokens;
        Pair pair;
        bool addSpecial;
        Strings expected;
    };
    const std::string single = R"({"type": "TemplateProcessing",
        "single": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}}],
        "pair": [{"Sequence": {"id": "A"}}, {"SpecialToken": {"id": "</s>"}}, {"Sequence": {"id": "B"}}]})";
    const std::string roberta = R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0]})";
    const std::string bert = R"({"type": "BertProcessing", "sep": ["[SEP]", 102], "cls": ["[CLS]", 101]})";
    const std::vector<Case> cases = {
        {single, {"a", "b"}, std::nullopt, true, {"<s>", "a", "b"}},
        {single, {"a", "b"}, std::nullopt, false, {"a", "b"}},
        {single, {"a"}, Strings{"b"}, true, {"a", "</s>", "b"}},
        {single, {"a"}, Strings{}, true, {"a", "</s>"}},
        {roberta, {"a"}, Strings{"b"}, false, {"<s>", "a", "</s>", "</s>", "b", "</s>"}},
        {roberta, {"a"}, Strings{}, true, {"<s>", "a", "</s>"}},
        {roberta, {"  x  "}, std::nullopt, true, {"<s>", " x ", "</s>"}},
        // A token of blanks alone: its leading and trailing runs are one run, cut from both sides.
        {roberta, {" ", "  ", "\t\n ", "\u3000\u3000"}, std::nullopt, true, {"<s>", " ", "", "", "", "</s>"}},
        {R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0], "add_prefix_space": false})",
         {"  x\n "},
         std::nullopt,
         true,
         {"<s>", "x\n", "</s>"}},
        {bert, {"a"}, Strings{}, true, {"[CLS]", "a", "[SEP]"}},
        {bert, {"a"}, Strings{"b"}, true, {"[CLS]", "a", "[SEP]", "b", "[SEP]"}},
        {bert, {"a"}, Strings{"b"}, false, {"a", "b"}},
        {R"({"type": "ByteLevel"})", {"a"}, Strings{"b"}, true, {"a"}},
        {R"({"type": "Sequence", "processors": [{"type": "ByteLevel"}, {"type": "TemplateProcessing",
             "single": [{"SpecialToken": {"id": "<s>"}}, {"Sequence": {"id": "A"}}], "pair": []}]})",
         {"a"},
         std::nullopt,
         true,
         {"<s>", "a"}},
        {R"({"type": "Sequence", "processors": []})", {"a"}, Strings{"b"}, true, {"a"}},
    };
    for (const auto& c : cases) {
        const Config config = json(c.config);
        const auto processor = PostProcessorFactory::fromConfig(&config);
        ASSERT_NE(processor, nullptr) << c.config;
        EXPECT_EQ(processor->postProcess(c.tokens, c.pair, c.addSpecial), c.expected) << c.config;
        // What a processor says it puts around one sequence is what it does put there.
        if (const auto around = processor->surrounding(c.addSpecial); around && !c.pair) {
            Strings framed = around->before;
            framed.insert(framed.end(), c.tokens.begin(), c.tokens.end());
            framed.insert(framed.end(), around->after.begin(), around->after.end());
            EXPECT_EQ(framed, c.expected) << c.config;
        }
    }
    for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
             {R"({"type": "Template"})", "Unsupported PostProcessor type: Template"},
             {R"({"type": "TemplateProcessing", "single": []})", "Missing `pair` processor configuration"},
             {R"({"type": "TemplateProcessing", "pair": []})", "Missing `single` processor configuration"},
             {R"({"type": "BertProcessing", "cls": ["[CLS]", 1]})", "Missing `sep` processor configuration"},
             {R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", -1]})",
              "Missing `cls` processor configuration"},
             {R"({"type": "Sequence"})", "Missing `processors` configuration"}}) {
        const Config config = json(text);
        EXPECT_EQ(refusal([&] { PostProcessorFactory::fromConfig(&config); }), message);
    }
}

} // namespace
