#include "ZodozorEro/Core/WhisperTokenizerWrapper.h"

#include <map>

#include <gtest/gtest.h>

#include "VuzadoDudi/External/Hub/PretrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/ByteEncoder.h"
#include "VuzadoDudi/Unicode.h"
#include "WhisperTokenizerWriter.h"
#include "ZodozorEro/Utilities/LanguageRecognizer.h"

namespace {

using VuzadoDudi::TokenizerWrapper;
using ZodozorEro::WhisperTokenizerWrapper;
using ZodozorEro::WordTokens;

// A vocabulary of whole tokens, for the control-token look-ups.
class VocabularyTokenizer : public VuzadoDudi::Tokenizer {
public:
    explicit VocabularyTokenizer(std::map<std::string, int> vocabulary)
        : vocabulary_(std::move(vocabulary)) {}

    std::vector<std::string> tokenize(const std::string& text) const override { return {text}; }
    std::vector<int> encode(const std::string& text, bool) const override { return {vocabulary_.at(text)}; }
    std::string decode(const std::vector<int>& tokens, bool) const override {
        std::string text;
        for (int token : tokens) {
            text += convertIdToToken(token).value_or("");
        }
        return text;
    }
    std::optional<int> convertTokenToId(const std::string& token) const override {
        const auto found = vocabulary_.find(token);
        return found == vocabulary_.end() ? std::nullopt : std::optional(found->second);
    }
    std::optional<std::string> convertIdToToken(int id) const override {
        for (const auto& [text, candidate] : vocabulary_) {
            if (candidate == id) {
                return text;
            }
        }
        return std::nullopt;
    }
    std::optional<std::string> bosToken() const override { return std::nullopt; }
    std::optional<int> bosTokenId() const override { return std::nullopt; }
    std::optional<std::string> eosToken() const override { return std::nullopt; }
    std::optional<int> eosTokenId() const override { return std::nullopt; }
    std::optional<std::string> unknownToken() const override { return std::nullopt; }
    std::optional<int> unknownTokenId() const override { return std::nullopt; }

private:
    std::map<std::string, int> vocabulary_;
};

WhisperTokenizerWrapper withVocabulary(std::map<std::string, int> vocabulary) {
    return WhisperTokenizerWrapper(
        TokenizerWrapper{std::make_shared<VocabularyTokenizer>(std::move(vocabulary))});
}

// A byte-level BPE tokenizer of the Whisper kind, smaller than the real one so the suite stays quick.
const WhisperTokenizerWrapper& whisper() {
    static const WhisperTokenizerWrapper* tokenizer = [] {
        WhisperTokenizerWriter::Options options;
        options.mergeCount = 4000;
        options.generatedWords = 40000;
        const auto folder = WhisperTokenizerWriter::cachedFolder(options);
        return new WhisperTokenizerWrapper(VuzadoDudi::AutoTokenizerWrapper::from(folder, true), folder);
    }();
    return *tokenizer;
}

int id(const std::string& token) {
    const auto found = whisper().convertTokenToId(token);
    if (!found) {
        throw std::runtime_error("no token " + token);
    }
    return *found;
}

// The text's ids without the transcript framing.
std::vector<int> textTokens(const std::string& text) {
    return whisper().tokenizer().encode(text, false);
}

// One id per UTF-8 byte of the text.
std::vector<int> byteTokens(const std::string& text) {
    std::vector<int> ids;
    for (char c : text) {
        ids.push_back(id(VuzadoDudi::byteEncoderTable()[static_cast<unsigned char>(c)]));
    }
    return ids;
}

std::vector<int> joined(const std::vector<std::vector<int>>& groups) {
    std::vector<int> all;
    for (const auto& group : groups) {
        all.insert(all.end(), group.begin(), group.end());
    }
    return all;
}

bool hasReplacement(const std::string& text) {
    return text.find("\xEF\xBF\xBD") != std::string::npos;
}

TEST(WhisperTokenizerWrapperTest, ControlTokensComeFromTheVocabulary) {
    const auto& tokens = whisper().specialTokens();
    EXPECT_EQ(tokens.endToken, id("<|endoftext|>"));
    EXPECT_EQ(tokens.specialTokenBegin, id("<|endoftext|>"));
    EXPECT_EQ(tokens.englishToken, id("<|en|>"));
    EXPECT_EQ(tokens.noSpeechToken, id("<|nospeech|>"));
    EXPECT_EQ(tokens.noTimestampsToken, id("<|notimestamps|>"));
    EXPECT_EQ(tokens.startOfPreviousToken, id("<|startofprev|>"));
    EXPECT_EQ(tokens.startOfTranscriptToken, id("<|startoftranscript|>"));
    EXPECT_EQ(tokens.timeTokenBegin, id("<|0.00|>"));
    EXPECT_EQ(tokens.transcribeToken, id("<|transcribe|>"));
    EXPECT_EQ(tokens.translateToken, id("<|translate|>"));
    // A byte-level vocabulary holds no bare blank, so the standard id stands.
    EXPECT_EQ(whisper().convertTokenToId(" "), std::nullopt);
    EXPECT_EQ(tokens.whitespaceToken, 220);
    EXPECT_EQ(whisper().allLanguageTokens().size(), WhisperTokenizerWriter::languageCodes().size());
    EXPECT_TRUE(whisper().allLanguageTokens().contains(id("<|yue|>")));
    EXPECT_EQ(whisper().tokenizerFolder()->filename().string().rfind("whisper-tokenizer", 0), 0u);
}

TEST(WhisperTokenizerWrapperTest, MissingControlTokensTakeTheStandardIds) {
    const auto bare = withVocabulary({{"a", 1}});
    EXPECT_EQ(bare.specialTokens(), ZodozorEro::SpecialTokens{});
    EXPECT_TRUE(bare.allLanguageTokens().empty());
    EXPECT_EQ(ZodozorEro::SpecialTokens{}.noSpeechToken, 50362);

    const auto own = withVocabulary({{"<|endoftext|>", 100},
                                     {"<|nospeech|>", 7},
                                     {"<|en|>", 50},
                                     {"<|de|>", 101},
                                     {"<|ar|>", 102},
                                     {"<|zz|>", 103}});
    EXPECT_EQ(own.specialTokens().noSpeechToken, 7);
    EXPECT_EQ(own.specialTokens().specialTokenBegin, 100);
    EXPECT_EQ(own.specialTokens().noTimestampsToken, 50363);
    // "<|en|>" lies below the first control token and "<|zz|>" names no language.
    EXPECT_EQ(own.allLanguageTokens(), (std::unordered_set<int>{101, 102}));
}

// An English-only vocabulary of the older kind: English is its one language, it has "<|nocaptions|>" where
// later ones have "<|nospeech|>", and its configuration names an unknown token, whose id the model answers
// for every text it lacks.
WhisperTokenizerWrapper englishOnly(const std::string& unknownToken) {
    const auto data = VuzadoDudi::Config::parseJSON(R"({
        "pre_tokenizer": {"type": "ByteLevel"}, "decoder": {"type": "ByteLevel"},
        "model": {"type": "BPE", "merges": [], "vocab": {"a": 64, "\u0120": 220, "<|endoftext|>": 50256,
            "<|startoftranscript|>": 50257, "<|en|>": 50258, "<|translate|>": 50357, "<|transcribe|>": 50358,
            "<|startoflm|>": 50359, "<|startofprev|>": 50360, "<|nocaptions|>": 50361, "<|notimestamps|>": 50362,
            "<|0.00|>": 50363}}})");
    const auto config = VuzadoDudi::Config::parseJSON(
        R"({"tokenizer_class": "WhisperTokenizer", "unk_token": ")" + unknownToken + R"("})");
    return WhisperTokenizerWrapper(VuzadoDudi::AutoTokenizerWrapper::from(config, data));
}

TEST(WhisperTokenizerWrapperTest, TextsTheVocabularyLacksHaveNoIdWhateverTheUnknownToken) {
    for (const std::string unknown : {"<|endoftext|>", "<|nocaptions|>", "a"}) {
        const auto wrapper = englishOnly(unknown);
        ASSERT_TRUE(wrapper.tokenizer().unknownTokenId()) << unknown;
        const ZodozorEro::SpecialTokens expected{.endToken = 50256,
                                                 .englishToken = 50258,
                                                 .noSpeechToken = 50362,
                                                 .noTimestampsToken = 50362,
                                                 .specialTokenBegin = 50256,
                                                 .startOfPreviousToken = 50360,
                                                 .startOfTranscriptToken = 50257,
                                                 .timeTokenBegin = 50363,
                                                 .transcribeToken = 50358,
                                                 .translateToken = 50357,
                                                 .whitespaceToken = 220};
        EXPECT_EQ(wrapper.specialTokens(), expected) << unknown;
        EXPECT_EQ(wrapper.allLanguageTokens(), std::unordered_set<int>{50258}) << unknown;
        EXPECT_EQ(wrapper.convertTokenToId("<|fr|>"), std::nullopt) << unknown;
        // The unknown token's own text is in the vocabulary.
        EXPECT_EQ(wrapper.convertTokenToId(unknown), wrapper.tokenizer().unknownTokenId()) << unknown;
        EXPECT_EQ(wrapper.convertTokenToId("<|en|>"), 50258) << unknown;
    }
}

TEST(WhisperTokenizerWrapperTest, CallsAreForwardedToTheTokenizer) {
    const auto ids = whisper().encode("hello");
    EXPECT_EQ(ids, whisper().tokenizer().encode("hello"));
    EXPECT_EQ(ids.front(), whisper().specialTokens().startOfTranscriptToken);
    EXPECT_EQ(whisper().decode(textTokens(" ok")), " ok");
    EXPECT_EQ(whisper().convertIdToToken(whisper().specialTokens().endToken), "<|endoftext|>");
}

struct SpacedCase {
    std::string language;
    std::string text;
    std::vector<std::string> words;
};

TEST(WhisperTokenizerWrapperTest, SpacedTextsSplitAtSpacesAndLonePunctuation) {
    const std::vector<SpacedCase> cases = {
        {"English", " Hello world, again", {" Hello", " world", ",", " again"}},
        {"English, joined sub-words", " Zurichquuxbold is here.", {" Zurichquuxbold", " is", " here", "."}},
        {"Arabic",
         "\u0645\u0631\u062D\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645\u060C \u0643\u064A\u0641",
         {"\u0645\u0631\u062D\u0628\u0627", " \u0628\u0627\u0644\u0639\u0627\u0644\u0645", "\u060C",
          " \u0643\u064A\u0641"}},
    };
    for (const SpacedCase& c : cases) {
        const std::vector<int> ids = textTokens(c.text);
        const WordTokens split = whisper().splitToWordTokens(ids);
        EXPECT_EQ(split.words, c.words) << c.language;
        EXPECT_EQ(joined(split.wordTokens), ids) << c.language;
        for (std::size_t i = 0; i < split.words.size(); ++i) {
            EXPECT_EQ(whisper().decode(split.wordTokens[i]), split.words[i]) << c.language;
        }
    }
    const WordTokens joinedWord = whisper().splitToWordTokens(textTokens(" Zurichquuxbold"));
    ASSERT_EQ(joinedWord.wordTokens.size(), 1u);
    EXPECT_GT(joinedWord.wordTokens[0].size(), 1u) << "the case needs a word of several tokens";
}

TEST(WhisperTokenizerWrapperTest, ControlTokensAreWordsOfTheirOwn) {
    const auto& special = whisper().specialTokens();
    std::vector<int> ids = {special.startOfTranscriptToken, special.englishToken, special.transcribeToken,
                            special.timeTokenBegin};
    const std::vector<int> text = textTokens(" Hi there");
    ids.insert(ids.end(), text.begin(), text.end());
    ids.push_back(special.endToken);
    const WordTokens split = whisper().splitToWordTokens(ids);
    EXPECT_EQ(split.words, (std::vector<std::string>{"<|startoftranscript|>", "<|en|>", "<|transcribe|>",
                                                     "<|0.00|>", " Hi", " there", "<|endoftext|>"}));
    EXPECT_EQ(joined(split.wordTokens), ids);
}

TEST(WhisperTokenizerWrapperTest, UnspacedTextsSplitAtEveryCompleteCharacter) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Chinese", "\u4F60\u597D\uFF0C\u4E16\u754C\u3002\u4ECA\u5929\u5929\u6C14\u5F88\u597D\u3002"},
        {"Japanese",
         "\u3053\u3093\u306B\u3061\u306F\u3001\u4E16\u754C\u3002\u4ECA\u65E5\u306F\u826F\u3044\u5929"
         "\u6C17\u3067\u3059\u3002"},
        {"Thai",
         "\u0E2A\u0E27\u0E31\u0E2A\u0E14\u0E35\u0E04\u0E23\u0E31\u0E1A \u0E22\u0E34\u0E19\u0E14\u0E35"},
    };
    for (const auto& [language, text] : cases) {
        const std::vector<int> ids = textTokens(text);
        const WordTokens split = whisper().splitToWordTokens(ids);
        std::string all;
        for (const auto& word : split.words) {
            all += word;
        }
        EXPECT_EQ(all, text) << language;
        EXPECT_EQ(joined(split.wordTokens), ids) << language;
        EXPECT_GT(split.words.size(), 3u) << language;
        // Each group is as small as it can be: no shorter run of its ids makes whole characters, so no two
        // groups were merged.
        for (const auto& group : split.wordTokens) {
            for (std::size_t length = 1; length < group.size(); ++length) {
                EXPECT_TRUE(hasReplacement(whisper().decode({group.begin(), group.begin() + length})))
                    << language << ": a group holds a complete character before its end";
            }
        }
    }
}

TEST(WhisperTokenizerWrapperTest, ACharacterSpreadOverSeveralIdsIsOneGroup) {
    const WordTokens split = whisper().splitToWordTokens(byteTokens("\u4E16\u754C"));
    EXPECT_EQ(split.words, (std::vector<std::string>{"\u4E16", "\u754C"}));
    EXPECT_EQ(split.wordTokens, (std::vector<std::vector<int>>{byteTokens("\u4E16"), byteTokens("\u754C")}));

    // Ids that end inside a character stay together as the replacement character the text shows for them.
    std::vector<int> cut = byteTokens("\u4F60\u597D\u4E16");
    cut.pop_back();
    const WordTokens partial = whisper().splitToWordTokens(cut);
    EXPECT_EQ(partial.words, (std::vector<std::string>{"\u4F60", "\u597D", "\uFFFD"}));
    EXPECT_EQ(joined(partial.wordTokens), cut);
}

TEST(WhisperTokenizerWrapperTest, AReplacementCharacterOfTheTextItselfIsOneGroup) {
    // Its first byte alone also decodes to a replacement character; cutting there would leave the other two
    // bytes unable to form a character, and every id after them would be lost.
    std::vector<int> ids = byteTokens("\u4F60\u597D\uFFFD\u4E16\u754C");
    const WordTokens split = whisper().splitToWordTokens(ids);
    EXPECT_EQ(split.words, (std::vector<std::string>{"\u4F60", "\u597D", "\uFFFD", "\u4E16", "\u754C"}));
    EXPECT_EQ(joined(split.wordTokens), ids);
}

TEST(WhisperTokenizerWrapperTest, AnAccentFromItsOwnIdDoesNotShiftLaterPositions) {
    // "e" and its accent decoded apart are two characters but one in the whole text; counting that way would
    // look for the real replacement character one place too far and never close its group.
    std::vector<int> ids = byteTokens("\u4F60e\u0301");
    const std::vector<int> replacement = textTokens("\uFFFD");
    ids.insert(ids.end(), replacement.begin(), replacement.end());
    const std::vector<int> tail = byteTokens("\u4E16\u754C\u4F60\u597D");
    ids.insert(ids.end(), tail.begin(), tail.end());
    const WordTokens split = whisper().splitToWordTokens(ids);
    std::string all;
    for (const auto& word : split.words) {
        all += word;
    }
    EXPECT_EQ(all, "\u4F60e\u0301\uFFFD\u4E16\u754C\u4F60\u597D");
    EXPECT_EQ(joined(split.wordTokens), ids);
}

TEST(WhisperTokenizerWrapperTest, NothingToSplit) {
    EXPECT_EQ(whisper().splitToWordTokens({}), WordTokens{});
}

TEST(LanguageRecognizerTest, TheScriptOfMostLettersDecides) {
    struct Case {
        std::string text;
        std::optional<std::string> language;
    };
    const std::vector<Case> cases = {
        {"\u4ECA\u5929\u5929\u6C14\u5F88\u597D", "zh"},
        {"\u4ECA\u65E5\u306F\u826F\u3044\u5929\u6C17", "ja"},
        {"\u0E2A\u0E27\u0E31\u0E2A\u0E14\u0E35 hello", "th"},
        {"\u0645\u0631\u062D\u0628\u0627 ok", "ar"},
        {"Hello \u4E16 world", std::nullopt},
        {"\u041F\u0440\u0438\u0432\u0435\u0442", std::nullopt},
        {"123 !?", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ZodozorEro::dominantLanguage(c.text), c.language) << c.text;
    }
}

} // namespace
