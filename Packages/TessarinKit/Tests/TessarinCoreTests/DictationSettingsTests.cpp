#include "TessarinCore/Domain/DictationSettings.h"

#include <gtest/gtest.h>

namespace TessarinCore {
namespace {

using nlohmann::json;

// A document as the settings store keeps it, with every key of the current version.
const char* const storedDocument = R"({
  "bindings": [
    {"hotkey": {"keyCode": 54, "displayName": "Right \u2318"}, "language": "english"},
    {"hotkey": {"keyCode": 12, "displayName": "Q"}, "language": "automatic"}
  ],
  "engines": {"english": "cloud", "arabic": "groq", "automatic": "tessarin"},
  "vocabularyPrompt": "  Tessarin, NASA\n",
  "releaseTail": [0, 250000000000000000],
  "minimumHold": [0, 150000000000000000],
  "maximumRecording": [16, 4852094820647174144],
  "insertionMethod": "type",
  "restoresClipboard": false,
  "appendsTrailingSpace": true,
  "groqModel": "whisper-large-v3-turbo",
  "cloudModel": "gpt-4o-transcribe"
})";

DictationSettings decode(const json& document) {
    return document.get<DictationSettings>();
}

// Decoding must fail, with the key named both in the coding path and the message.
void expectFailureAt(const json& document, const std::string& path) {
    try {
        decode(document);
        ADD_FAILURE() << "decoded " << document.dump();
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.codingPath(), path) << document.dump();
        if (!path.empty()) {
            EXPECT_NE(std::string(error.what()).find('"' + path + '"'), std::string::npos) << error.what();
        }
    }
}

TEST(DictationSettingsTests, AStoredDocumentDecodesAndReencodesToTheSameJson) {
    const json stored = json::parse(storedDocument);
    const DictationSettings settings = decode(stored);
    EXPECT_EQ(settings.bindings(),
              (std::vector<HotkeyBinding>{{Hotkey::rightCommand(), DictationLanguage::english},
                                          {Hotkey{12, "Q"}, DictationLanguage::automatic}}));
    EXPECT_EQ(settings.engines, (EnginePreferences{EngineID::openAI, EngineID::groq, EngineID::tessarin}));
    EXPECT_EQ(settings.vocabularyPrompt, "  Tessarin, NASA\n"); // kept as written
    EXPECT_EQ(settings.releaseTail, Duration::milliseconds(250));
    EXPECT_EQ(settings.maximumRecording, Duration::seconds(std::int64_t{300}));
    EXPECT_EQ(settings.insertionMethod, InsertionMethod::type);
    EXPECT_FALSE(settings.restoresClipboard);
    EXPECT_EQ(settings.openAIModel, "gpt-4o-transcribe");
    EXPECT_EQ(settings.groqModel, "whisper-large-v3-turbo");
    EXPECT_EQ(json(settings), stored);
}

TEST(DictationSettingsTests, DurationsAreStoredAsHighAndLowWords) {
    const struct {
        Duration duration;
        json stored;
    } cases[] = {
        {Duration::seconds(std::int64_t{300}), {16, 4852094820647174144ULL}},
        {Duration::milliseconds(100), {0, 100000000000000000ULL}},
        {Duration::milliseconds(150), {0, 150000000000000000ULL}},
        {-Duration::milliseconds(100), {-1, 18346744073709551616ULL}},
        {Duration::zero(), {0, 0}},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(json(testCase.duration), testCase.stored);
        EXPECT_EQ(testCase.stored.get<Duration>(), testCase.duration) << testCase.stored.dump();
    }
}

TEST(DictationSettingsTests, AnEmptyDocumentDecodesToTheDefaults) {
    const DictationSettings settings = decode(json::object());
    EXPECT_EQ(settings, DictationSettings());
    EXPECT_EQ(settings.bindings(), DictationSettings::defaultBindings());
    EXPECT_EQ(settings.bindings(),
              (std::vector<HotkeyBinding>{{Hotkey::function(), DictationLanguage::english},
                                          {Hotkey::rightOption(), DictationLanguage::arabic}}));
    EXPECT_EQ(settings.engines,
              (EnginePreferences{EngineID::appleSpeech, EngineID::tessarin, EngineID::tessarin}));
    EXPECT_EQ(settings.vocabularyPrompt, std::nullopt);
    EXPECT_EQ(settings.releaseTail, Duration::milliseconds(100));
    EXPECT_EQ(settings.minimumHold, Duration::milliseconds(150));
    EXPECT_EQ(settings.maximumRecording, Duration::seconds(std::int64_t{300}));
    EXPECT_EQ(settings.insertionMethod, InsertionMethod::paste);
    EXPECT_TRUE(settings.restoresClipboard);
    EXPECT_TRUE(settings.appendsTrailingSpace);
    EXPECT_EQ(settings.openAIModel, "gpt-transcribe");
    EXPECT_EQ(settings.groqModel, "whisper-large-v3");
}

TEST(DictationSettingsTests, NullCountsAsMissingAndUnknownKeysAreIgnored) {
    json document = json::parse(R"({"engines": null, "insertionMethod": null, "cloudModel": null,
                                    "releaseTail": null, "somethingNew": [1, 2], "groqModel": ""})");
    const DictationSettings settings = decode(document);
    EXPECT_EQ(settings.engines, EnginePreferences{});
    EXPECT_EQ(settings.insertionMethod, InsertionMethod::paste);
    EXPECT_EQ(settings.openAIModel, "gpt-transcribe");
    EXPECT_EQ(settings.releaseTail, Duration::milliseconds(100));
    EXPECT_EQ(settings.groqModel, ""); // an empty name is taken as stored
}

TEST(DictationSettingsTests, BadValuesFailNamingTheKey) {
    const struct {
        const char* document;
        std::string path;
    } cases[] = {
        {R"({"engines": {"english": "siri", "arabic": "tessarin", "automatic": "tessarin"}})",
         "engines.english"},
        {R"({"engines": {"english": "appleSpeech", "arabic": "tessarin"}})", "engines.automatic"},
        {R"({"engines": "tessarin"})", "engines"},
        {R"({"insertionMethod": "Paste"})", "insertionMethod"},
        {R"({"insertionMethod": 0})", "insertionMethod"},
        {R"({"restoresClipboard": "yes"})", "restoresClipboard"},
        {R"({"appendsTrailingSpace": 1})", "appendsTrailingSpace"},
        {R"({"vocabularyPrompt": ["a"]})", "vocabularyPrompt"},
        {R"({"cloudModel": 4})", "cloudModel"},
        {R"({"releaseTail": 0.1})", "releaseTail"},
        {R"({"releaseTail": [0]})", "releaseTail"},
        {R"({"minimumHold": [0, 1, 2]})", "minimumHold"},
        {R"({"maximumRecording": [0, -5]})", "maximumRecording[1]"},
        {R"({"maximumRecording": [0.5, 5]})", "maximumRecording[0]"},
        {R"({"bindings": {"hotkey": {"keyCode": 63}, "language": "english"}})", "bindings"},
        {R"({"bindings": [{"hotkey": {"keyCode": 63}, "language": "english"},
                          {"hotkey": {"keyCode": 70000}, "language": "english"}]})",
         "bindings[1].hotkey.keyCode"},
        {R"({"bindings": [{"hotkey": {"keyCode": 63}}]})", "bindings[0].language"},
        {R"({"hotkeys": [{"keyCode": -1}]})", "hotkeys[0].keyCode"},
        {R"({"language": "french"})", "language"},
    };
    for (const auto& testCase : cases) {
        expectFailureAt(json::parse(testCase.document), testCase.path);
    }
}

TEST(DictationSettingsTests, ADocumentThatIsNotAnObjectFails) {
    for (const json& document : {json::array(), json("settings"), json(nullptr)}) {
        expectFailureAt(document, "");
    }
}

TEST(DictationSettingsTests, AFailedDecodeLeavesTheTargetUntouched) {
    DictationSettings settings;
    settings.groqModel = "kept";
    EXPECT_THROW(from_json(json::parse(R"({"groqModel": "new", "insertionMethod": "drag"})"), settings),
                 DecodingError);
    EXPECT_EQ(settings.groqModel, "kept");
}

TEST(DictationSettingsTests, LegacyKeysAreReadOnlyWithoutBindings) {
    const struct {
        const char* document;
        std::vector<HotkeyBinding> bindings;
    } cases[] = {
        {R"({"language": "english"})",
         {{Hotkey::function(), DictationLanguage::english},
          {Hotkey::rightOption(), DictationLanguage::english}}},
        {R"({"hotkeys": [{"keyCode": 54}]})", {{Hotkey::rightCommand(), DictationLanguage::automatic}}},
        {R"({"hotkeys": [{"keyCode": 62}, {"keyCode": 60}], "language": "arabic"})",
         {{Hotkey::rightControl(), DictationLanguage::arabic},
          {Hotkey::rightShift(), DictationLanguage::arabic}}},
        {R"({"hotkeys": [], "language": "arabic"})", DictationSettings::defaultBindings()},
        {R"({"hotkeys": null, "language": null})", DictationSettings::defaultBindings()},
        // With "bindings" present the legacy keys are not even read, so a bad legacy value is harmless.
        {R"({"bindings": [{"hotkey": {"keyCode": 60}, "language": "english"}],
             "hotkeys": [{"keyCode": 54}], "language": "french"})",
         {{Hotkey::rightShift(), DictationLanguage::english}}},
        {R"({"bindings": [], "language": "english"})", DictationSettings::defaultBindings()},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(decode(json::parse(testCase.document)).bindings(), testCase.bindings) << testCase.document;
    }
    // The legacy keys are never written.
    const json written = json(decode(json::parse(R"({"language": "english"})")));
    EXPECT_FALSE(written.contains("hotkeys"));
    EXPECT_FALSE(written.contains("language"));
}

TEST(DictationSettingsTests, BindingsKeepTheFirstOfEachKeyCodeAndAreNeverEmpty) {
    const DictationSettings decoded = decode(json::parse(R"({"bindings": [
        {"hotkey": {"keyCode": 61}, "language": "arabic"},
        {"hotkey": {"keyCode": 61, "displayName": "x"}, "language": "english"}]})"));
    EXPECT_EQ(decoded.bindings(),
              (std::vector<HotkeyBinding>{{Hotkey::rightOption(), DictationLanguage::arabic}}));

    DictationSettings settings;
    settings.setBindings({});
    EXPECT_EQ(settings.bindings(), DictationSettings::defaultBindings());
    settings.setBindings(
        {{Hotkey{12, "Q"}, DictationLanguage::english}, {Hotkey{12, "W"}, DictationLanguage::arabic}});
    EXPECT_EQ(settings.bindings(),
              (std::vector<HotkeyBinding>{{Hotkey{12, "Q"}, DictationLanguage::english}}));
    settings.editBindings([](std::vector<HotkeyBinding>& bindings) {
        bindings.push_back({Hotkey::rightShift(), DictationLanguage::arabic});
        bindings.push_back({Hotkey::rightShift(), DictationLanguage::english});
    });
    EXPECT_EQ(settings.bindings().size(), 2u);
    settings.editBindings([](std::vector<HotkeyBinding>& bindings) { bindings.clear(); });
    EXPECT_EQ(settings.bindings(), DictationSettings::defaultBindings());

    const DictationSettings built({}, {}, std::nullopt, Duration::zero(), Duration::zero(), Duration::zero(),
                                  InsertionMethod::type, false, false, "", "");
    EXPECT_EQ(built.bindings(), DictationSettings::defaultBindings());
}

TEST(DictationSettingsTests, AnAbsentPromptIsNotWrittenAndRoundTrips) {
    DictationSettings settings;
    settings.minimumHold = -Duration::milliseconds(5); // ranges are not validated
    const json written = json(settings);
    EXPECT_FALSE(written.contains("vocabularyPrompt"));
    EXPECT_EQ(written.at("cloudModel"), "gpt-transcribe");
    EXPECT_FALSE(written.contains("openAIModel"));
    EXPECT_EQ(decode(written), settings);
}

TEST(DictationSettingsTests, LanguageLooksUpTheKeyCodeOnly) {
    DictationSettings settings;
    EXPECT_EQ(settings.language(Hotkey{61, "renamed"}), DictationLanguage::arabic);
    EXPECT_EQ(settings.language(Hotkey::rightShift()), DictationLanguage::automatic);
    EXPECT_EQ(settings.hotkeys(), (std::vector<Hotkey>{Hotkey::function(), Hotkey::rightOption()}));
}

TEST(DictationSettingsTests, TranscriptionConfigTrimsThePrompt) {
    DictationSettings settings;
    settings.openAIModel = "o";
    settings.groqModel = "g";
    const struct {
        std::optional<std::string> stored;
        std::optional<std::string> prompt;
    } cases[] = {
        {std::nullopt, std::nullopt},           {"\n   ", std::nullopt},
        {"\u2028\u00A0\t\u0085", std::nullopt}, {" \r\nNASA, Tessarin\u3000\n", "NASA, Tessarin"},
        {"\u200BNASA", "\u200BNASA"}, // a zero width space is no white space
    };
    for (const auto& testCase : cases) {
        settings.vocabularyPrompt = testCase.stored;
        EXPECT_EQ(settings.transcriptionConfig(DictationLanguage::arabic),
                  (TranscriptionConfig{DictationLanguage::arabic, testCase.prompt, "o", "g"}));
        EXPECT_EQ(settings.vocabularyPrompt, testCase.stored);
    }
}

TEST(DictationSettingsTests, ModelNamesBelongToTheApiKeyEnginesOnly) {
    DictationSettings settings;
    EXPECT_EQ(settings.model(EngineID::openAI), "gpt-transcribe");
    EXPECT_EQ(settings.model(EngineID::groq), "whisper-large-v3");
    EXPECT_EQ(settings.model(EngineID::tessarin), std::nullopt);
    const DictationSettings before = settings;
    settings.setModel("x", EngineID::appleSpeech);
    EXPECT_EQ(settings, before);
    settings.setModel("whisper-large-v3-turbo", EngineID::groq);
    EXPECT_EQ(settings.groqModel, "whisper-large-v3-turbo");
}

TEST(DictationSettingsTests, EnginePreferenceEdits) {
    EnginePreferences preferences{EngineID::appleSpeech, EngineID::openAI, EngineID::tessarin};
    EXPECT_EQ(preferences.preferred(DictationLanguage::automatic), EngineID::tessarin);
    EXPECT_TRUE(preferences.uses(EngineID::openAI));
    EXPECT_FALSE(preferences.uses(EngineID::groq));

    preferences.adopt(EngineID::groq);
    EXPECT_EQ(preferences, (EnginePreferences{EngineID::appleSpeech, EngineID::openAI, EngineID::groq}));
    preferences.adopt(EngineID::zodozorEro); // API-key engines stay where they are
    EXPECT_EQ(preferences, (EnginePreferences{EngineID::appleSpeech, EngineID::openAI, EngineID::groq}));

    preferences.setPreferred(EngineID::groq, DictationLanguage::english);
    preferences.drop(EngineID::groq);
    EXPECT_EQ(preferences, (EnginePreferences{EngineID::appleSpeech, EngineID::openAI, EngineID::tessarin}));

    EnginePreferences allCloud{EngineID::tessarin, EngineID::tessarin, EngineID::tessarin};
    allCloud.drop(EngineID::tessarin);
    EXPECT_EQ(allCloud, (EnginePreferences{EngineID::appleSpeech, EngineID::tessarin, EngineID::tessarin}));
}

} // namespace
} // namespace TessarinCore
