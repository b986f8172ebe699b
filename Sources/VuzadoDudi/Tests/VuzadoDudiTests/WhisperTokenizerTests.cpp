#include <algorithm>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "VuzadoDudi/External/Hub/PretrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/ByteEncoder.h"
#include "VuzadoDudi/External/Tokenizers/PreTrainedTokenizer.h"
#include "VuzadoDudi/External/Tokenizers/TokenizerWrapper.h"
#include "WhisperTokenizerWriter.h"

namespace {

using namespace VuzadoDudi;

// A smaller vocabulary than the real one keeps the suite quick; the definition is the same in kind.
const TokenizerWrapper& whisper() {
    static const TokenizerWrapper tokenizer = [] {
        WhisperTokenizerWriter::Options options;
        options.mergeCount = 4000;
        options.generatedWords = 40000;
        return AutoTokenizerWrapper::from(WhisperTokenizerWriter::cachedFolder(options), true);
    }();
    return tokenizer;
}

TEST(WhisperTokenizerTest, DecodingAnEncodingGivesTheTextBack) {
    const std::vector<std::string> texts = {
        "The quick brown fox jumps over the lazy dog.",
        " leading blank, trailing blank ",
        "\u0645\u0631\u062D\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645\u060C "
        "\u0643\u064E\u064A\u0652\u0641\u064E "
        "\u062D\u0627\u0644\u0643\u061F",
        "\u4F60\u597D\uFF0C\u4E16\u754C\u3002\u65E5\u672C\u8A9E\u3082\u3002",
        "cafe\u0301 na\u00EFve \u1EBF e\u0301\u0302 Z\u0351\u0352\u0353",
        "\U0001F600 \U0001F44D\U0001F3FD \U0001F468\u200D\U0001F469\u200D\U0001F467 \U0001F1E9\U0001F1EA",
        "tabs\tand  runs   of\n\n\nblanks \u3000 \u00A0end",
        "control \x01\x02\x7F and \u200B\u200D format",
        "<|startoftranscript|><|en|><|transcribe|> hello<|0.00|> world<|1.20|><|endoftext|>",
        "inline <|notimestamps|>text<|ar|>\u0646\u0635",
        "<|not a token|> <|endoftext",
        "",
    };
    for (const auto& text : texts) {
        const auto ids = whisper().encode(text, false);
        EXPECT_EQ(whisper().decode(ids), text) << text;
    }
}

TEST(WhisperTokenizerTest, SpecialTokensAreSingleTokens) {
    const auto specials = WhisperTokenizerWriter::specialTokens();
    std::set<int> ids;
    for (const auto& token : specials) {
        const auto encoded = whisper().encode(token, false);
        ASSERT_EQ(encoded.size(), 1u) << token;
        EXPECT_EQ(whisper().convertIdToToken(encoded[0]), token);
        ids.insert(encoded[0]);
    }
    EXPECT_EQ(ids.size(), specials.size());
    EXPECT_EQ(specials.front(), "<|endoftext|>");
    EXPECT_NE(std::find(specials.begin(), specials.end(), "<|30.00|>"), specials.end());
    EXPECT_EQ(whisper().eosToken(), "<|endoftext|>");
}

TEST(WhisperTokenizerTest, EncodingFramesTheTextWithTheTranscriptTokens) {
    const auto ids = whisper().encode("hello");
    ASSERT_GE(ids.size(), 4u);
    EXPECT_EQ(whisper().convertIdToToken(ids.front()), "<|startoftranscript|>");
    EXPECT_EQ(whisper().convertIdToToken(ids[1]), "<|notimestamps|>");
    EXPECT_EQ(ids.back(), whisper().eosTokenId());
    EXPECT_EQ(whisper().decode(ids, true), "hello");
    EXPECT_EQ(whisper().decode(ids, false), "<|startoftranscript|><|notimestamps|>hello<|endoftext|>");
}

TEST(WhisperTokenizerTest, IdsThatSplitACharacterDecodeToReplacementCharacters) {
    // Byte by byte, a character is several tokens; a cut through it leaves U+FFFD, not garbage or a crash.
    const auto ids = whisper().encode("\u4E16", false);
    std::vector<int> bytes;
    for (const char c : std::string("\u4E16\u754C")) {
        const auto id = whisper().convertTokenToId(byteEncoderTable()[static_cast<unsigned char>(c)]);
        ASSERT_TRUE(id);
        bytes.push_back(*id);
    }
    EXPECT_EQ(whisper().decode({bytes.begin(), bytes.begin() + 4}), "\u4E16\uFFFD");
    // Each stray continuation byte is one U+FFFD; a cut-off sequence is one.
    EXPECT_EQ(whisper().decode({bytes.begin() + 1, bytes.end()}), "\uFFFD\uFFFD\u754C");
    EXPECT_EQ(whisper().decode({bytes[0], whisper().eosTokenId().value(), bytes[1], bytes[2]}),
              "\uFFFD<|endoftext|>\uFFFD\uFFFD");
    EXPECT_EQ(whisper().decode(ids), "\u4E16");
}

// Encoding takes ids from the model without writing tokens out; it must give the ids of the tokens tokenize
// gives, framed as the post-processor frames them.
TEST(WhisperTokenizerTest, EncodeGivesTheIdsOfTheTokens) {
    const auto& tokenizer = dynamic_cast<const PreTrainedTokenizer&>(*whisper().impl);
    const std::vector<std::string> parts = {"the",
                                            "quick",
                                            "zqxv",
                                            " ",
                                            "  ",
                                            "\n",
                                            "\t",
                                            "'s",
                                            "'ll",
                                            "42",
                                            "3.5",
                                            "!?",
                                            "\u00E9t\u00E9",
                                            "e\u0301",
                                            "\u0645\u0631\u062D\u0628\u0627",
                                            "\u4F60\u597D",
                                            "\U0001F600",
                                            "<|en|>",
                                            "<|0.00|>",
                                            "<|endoftext|>",
                                            "<|not",
                                            "\xFF",
                                            "\xE4\xB8",
                                            "\x01"};
    std::mt19937 numbers(5);
    for (int round = 0; round < 300; ++round) {
        std::string text;
        for (auto count = numbers() % 12; count > 0; --count) {
            text += parts[numbers() % parts.size()];
        }
        // Pieces met before come from the model's cache: the second round meets them all again.
        for (int pass = 0; pass < 2; ++pass) {
            for (const bool addSpecialTokens : {false, true}) {
                std::vector<int> expected;
                for (const auto& token : tokenizer.postProcess(tokenizer.tokenize(text), addSpecialTokens)) {
                    expected.push_back(tokenizer.model().requiredTokenId(token));
                }
                ASSERT_EQ(tokenizer.encode(text, addSpecialTokens), expected) << text;
            }
        }
    }
}

TEST(WhisperTokenizerTest, IllFormedInputIsRepairedNotRefused) {
    const auto ids = whisper().encode("a\xFF"
                                      "b\xE4\xB8",
                                      false);
    EXPECT_EQ(whisper().decode(ids), "a\uFFFD"
                                     "b\uFFFD");
}

} // namespace
