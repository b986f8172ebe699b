#include "FakeTranscriber.h"
#include "TessarinCore/UseCases/TranscriberRouter.h"

#include <gtest/gtest.h>

namespace TessarinCore {
namespace {

using Fakes::FakeTranscriber;
using enum DictationLanguage;

std::shared_ptr<SpeechTranscribing> makeEngine(EngineID id, std::set<DictationLanguage> languages) {
    return std::make_shared<FakeTranscriber>(id, std::move(languages));
}

// The system's registration: the Apple engine (english and arabic), then the cloud engine (all three).
const auto apple = makeEngine(EngineID::appleSpeech, {english, arabic});
const auto cloud = makeEngine(EngineID::tessarin, {automatic, english, arabic});
const auto whisper = makeEngine(EngineID::zodozorEro, {automatic, english, arabic});
const auto englishOnlyWhisper = makeEngine(EngineID::zodozorEro, {english});

// `engine` is the preferred engine for primary, the engine that failed for fallback.
struct RouteCase {
    const char* name;
    const TranscriberRouter& router;
    DictationLanguage language;
    EngineID engine;
    std::shared_ptr<SpeechTranscribing> expected;
};

EnginePreferences everyLanguage(EngineID engine) {
    return EnginePreferences{engine, engine, engine};
}

TEST(TranscriberRouterTests, PrimaryTakesThePreferenceElseTheFirstLocalEngine) {
    const TranscriberRouter system({apple, cloud});
    const TranscriberRouter withWhisper({cloud, whisper, apple});
    const RouteCase cases[] = {
        {"english, apple preferred", system, english, EngineID::appleSpeech, apple},
        {"arabic, cloud preferred", system, arabic, EngineID::tessarin, cloud},
        {"automatic, cloud preferred", system, automatic, EngineID::tessarin, cloud},
        {"automatic, apple preferred: no local engine serves it and no cloud stands in", system, automatic,
         EngineID::appleSpeech, nullptr},
        {"arabic, whisper preferred but absent", system, arabic, EngineID::zodozorEro, apple},
        {"english, openAI preferred but absent", system, english, EngineID::openAI, apple},
        {"automatic, groq preferred but absent: a local engine that serves it", withWhisper, automatic,
         EngineID::groq, whisper},
        {"english, groq absent: the first local engine in registration order", withWhisper, english,
         EngineID::groq, whisper},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(testCase.router.primary(testCase.language, everyLanguage(testCase.engine)),
                  testCase.expected)
            << testCase.name;
    }
    // Only the language's own slot counts.
    const EnginePreferences mixed{EngineID::tessarin, EngineID::appleSpeech, EngineID::appleSpeech};
    EXPECT_EQ(system.primary(english, mixed), cloud);
    EXPECT_EQ(system.primary(automatic, mixed), nullptr);
}

TEST(TranscriberRouterTests, FallbackIsALocalEngineInTheLanguagesOrderAndNeverTheOneThatFailed) {
    const TranscriberRouter system({apple, cloud});
    const TranscriberRouter full({cloud, apple, whisper});
    const TranscriberRouter narrowWhisper({apple, englishOnlyWhisper});
    const RouteCase cases[] = {
        {"english after cloud", system, english, EngineID::tessarin, apple},
        {"english after apple, whisper absent", system, english, EngineID::appleSpeech, nullptr},
        {"arabic after cloud, whisper absent", system, arabic, EngineID::tessarin, apple},
        {"automatic after cloud", system, automatic, EngineID::tessarin, nullptr},
        {"english prefers apple", full, english, EngineID::tessarin, apple},
        {"english after apple gives whisper", full, english, EngineID::appleSpeech, whisper},
        {"arabic prefers whisper", full, arabic, EngineID::tessarin, whisper},
        {"arabic after whisper gives apple", full, arabic, EngineID::zodozorEro, apple},
        {"automatic after whisper: apple cannot serve it", full, automatic, EngineID::zodozorEro, nullptr},
        {"automatic after groq", full, automatic, EngineID::groq, whisper},
        {"arabic skips a whisper that lacks it", narrowWhisper, arabic, EngineID::tessarin, apple},
        {"arabic after apple: the only whisper lacks arabic", narrowWhisper, arabic, EngineID::appleSpeech,
         nullptr},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(testCase.router.fallback(testCase.language, testCase.engine), testCase.expected)
            << testCase.name;
    }
}

TEST(TranscriberRouterTests, LookupAndListing) {
    const auto secondApple = makeEngine(EngineID::appleSpeech, {english});
    const TranscriberRouter router({apple, cloud, secondApple});
    EXPECT_EQ(router.availableEngines(),
              (std::vector{EngineID::appleSpeech, EngineID::tessarin, EngineID::appleSpeech}));
    EXPECT_EQ(router.engine(EngineID::appleSpeech), apple);
    EXPECT_EQ(router.engine(EngineID::groq), nullptr);

    const TranscriberRouter empty;
    EXPECT_TRUE(empty.availableEngines().empty());
    EXPECT_EQ(empty.primary(english, EnginePreferences{}), nullptr);
    EXPECT_EQ(empty.fallback(english, EngineID::tessarin), nullptr);
}

TEST(TranscriberRouterDeathTest, ANullEngineIsAProgrammingFault) {
    EXPECT_DEATH(TranscriberRouter({apple, nullptr}), "null");
}

} // namespace
} // namespace TessarinCore
