#include "TessarinCore/Domain/JsonCoding.h"
#include "TessarinCore/Domain/Transcription.h"

#include <gtest/gtest.h>

namespace TessarinCore {
namespace {

using Keywords = std::vector<std::string>;

TranscriptionConfig configWithPrompt(std::optional<std::string> prompt) {
    return TranscriptionConfig{DictationLanguage::english, std::move(prompt), "gpt-transcribe",
                               "whisper-large-v3"};
}

TEST(TranscriptionTests, KeywordsSplitAtCommasArabicCommasAndLineBreaks) {
    const struct {
        std::optional<std::string> prompt;
        Keywords keywords;
    } cases[] = {
        {"alpha, beta\u060Cgamma\n\n delta ,,", {"alpha", "beta", "gamma", "delta"}},
        {" , ,, ", {}},
        {std::nullopt, {}},
        {"", {}},
        {"alpha; beta", {"alpha; beta"}},
        {"alpha\r\nbeta", {"alpha", "beta"}},
        {"a\vb\fc\rd\u0085e\u2028f\u2029g", {"a", "b", "c", "d", "e", "f", "g"}},
        // Only spaces and tabs are trimmed; the no-break space is a space separator too.
        {"\t\u00A0Tessarin\u3000, NASA ,NASA", {"Tessarin", "NASA", "NASA"}},
        // A comma carrying a combining mark is still one character that starts with a comma.
        {"one,\u0301two", {"one", "two"}},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(configWithPrompt(testCase.prompt).keywords(), testCase.keywords)
            << testCase.prompt.value_or("<absent>");
    }
}

TEST(TranscriptionTests, TranscriptIsBlankOnlyWhenEveryCharacterIsWhiteSpace) {
    const struct {
        std::string text;
        bool isBlank;
    } cases[] = {
        {"", true},         {"  \t\n", true},  {"\u3000\u2028\u0085", true},
        {" . ", false},     {"\u200B", false}, // zero width space has no White_Space property
        {" \u0301", false},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ((Transcript{testCase.text, std::nullopt, EngineID::tessarin}.isBlank()), testCase.isBlank)
            << testCase.text;
    }
}

TEST(TranscriptionTests, EngineRawValuesAndProperties) {
    EXPECT_EQ(rawValue(EngineID::openAI), "cloud");
    EXPECT_EQ(fromRawValue<EngineID>("cloud"), EngineID::openAI);
    EXPECT_EQ(fromRawValue<EngineID>("openAI"), std::nullopt);
    EXPECT_EQ(fromRawValue<EngineID>("Groq"), std::nullopt);
    EXPECT_EQ(allCases<EngineID>(), (std::array{EngineID::appleSpeech, EngineID::zodozorEro,
                                                EngineID::tessarin, EngineID::openAI, EngineID::groq}));
    for (const EngineID engine : allCases<EngineID>()) {
        EXPECT_EQ(fromRawValue<EngineID>(rawValue(engine)), engine);
        EXPECT_EQ(isLocal(engine), engine == EngineID::appleSpeech || engine == EngineID::zodozorEro);
    }
    EXPECT_EQ(displayName(EngineID::tessarin), "Parlindo Cloud");
    EXPECT_EQ(displayName(EngineID::zodozorEro), "Whisper (on-device)");
}

TEST(TranscriptionTests, LanguageRawValuesAndNames) {
    EXPECT_EQ(
        allCases<DictationLanguage>(),
        (std::array{DictationLanguage::automatic, DictationLanguage::english, DictationLanguage::arabic}));
    EXPECT_EQ(isoCode(DictationLanguage::automatic), std::nullopt);
    EXPECT_EQ(isoCode(DictationLanguage::arabic), "ar");
    EXPECT_EQ(displayName(DictationLanguage::arabic), "Arabic (\u0627\u0644\u0639\u0631\u0628\u064A\u0629)");
    EXPECT_EQ(shortName(DictationLanguage::automatic), "Auto");
    EXPECT_EQ(fromRawValue<DictationLanguage>("English"), std::nullopt);
}

TEST(TranscriptionTests, CloudModelListsPerEngine) {
    EXPECT_TRUE(CloudModel::all(EngineID::tessarin).empty());
    EXPECT_TRUE(CloudModel::all(EngineID::appleSpeech).empty());
    ASSERT_EQ(CloudModel::all(EngineID::openAI).size(), 3u);
    EXPECT_EQ(CloudModel::all(EngineID::openAI).front(), "gpt-transcribe");
    EXPECT_EQ(CloudModel::all(EngineID::groq).front(), "whisper-large-v3");
}

TEST(TranscriptionTests, EnginePreparationComparesOptionalPayloads) {
    EXPECT_NE(EnginePreparation::downloading(0.5), EnginePreparation::downloading(0.5, 1024));
    EXPECT_EQ(EnginePreparation::downloading(0.5, 1024), EnginePreparation::downloading(0.5, 1024));
    EXPECT_NE(EnginePreparation::optimizing(), EnginePreparation::loading());
}

TEST(TranscriptionTests, RawValueEnumsDecodeOnlyFromTheirRawValueStrings) {
    EXPECT_EQ(nlohmann::json(EngineID::openAI), "cloud");
    EXPECT_EQ(nlohmann::json("groq").get<EngineID>(), EngineID::groq);
    EXPECT_THROW(nlohmann::json("openAI").get<EngineID>(), DecodingError);
    EXPECT_THROW(nlohmann::json(3).get<DictationLanguage>(), DecodingError);
}

} // namespace
} // namespace TessarinCore
