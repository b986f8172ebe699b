#include "FakeTranscriber.h"
#include "System/Concurrency/ManualExecutor.h"
#include "TessarinCore/Ports/PermissionsProviding.h"
#include "TessarinCore/Ports/SecretStore.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace TessarinCore {
namespace {

using Fakes::FakeTranscriber;
using System::Concurrency::ManualExecutor;
using System::Concurrency::spawn;

TEST(PortsTests, SecretKeysAndTheEnginesWhoseApiKeysTheyHold) {
    const struct {
        EngineID engine;
        std::optional<SecretKey> key;
    } cases[] = {
        {EngineID::openAI, SecretKey::openAIAPIKey}, {EngineID::groq, SecretKey::groqAPIKey},
        {EngineID::tessarin, std::nullopt},          {EngineID::appleSpeech, std::nullopt},
        {EngineID::zodozorEro, std::nullopt},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(apiKey(testCase.engine), testCase.key) << rawValue(testCase.engine);
    }
    EXPECT_EQ(rawValue(SecretKey::tessarinDeviceToken), "tessarin-device-token");
    EXPECT_EQ(fromRawValue<SecretKey>("openai-api-key"), SecretKey::openAIAPIKey);
    EXPECT_EQ(fromRawValue<SecretKey>("cloud"), std::nullopt);
    EXPECT_EQ(fromRawValue<SecretKey>("Groq-api-key"), std::nullopt);
}

TEST(PortsTests, PermissionsInOrder) {
    EXPECT_EQ(allCases<Permission>(),
              (std::array{Permission::microphone, Permission::inputMonitoring, Permission::postEvents}));
    EXPECT_EQ(rawValue(Permission::inputMonitoring), "inputMonitoring");
}

TEST(PortsTests, PrepareWithoutProgressDropsReportsAndPassesTheErrorOn) {
    ManualExecutor executor;
    auto engine =
        std::make_shared<FakeTranscriber>(EngineID::zodozorEro, std::set{DictationLanguage::english});
    engine->reports = {EnginePreparation::downloading(0.5), EnginePreparation::loading()};
    SpeechTranscribing& port = *engine;

    auto succeeded = spawn(executor, port.prepare(DictationLanguage::english));
    executor.runUntilIdle();
    ASSERT_TRUE(succeeded.isDone());
    EXPECT_NO_THROW(succeeded.result());

    engine->preparing.willThrow(std::runtime_error("model download failed"));
    auto failed = spawn(executor, port.prepare(DictationLanguage::english));
    executor.runUntilIdle();
    ASSERT_TRUE(failed.isDone());
    try {
        failed.result();
        ADD_FAILURE() << "the preparation error was swallowed";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "model download failed");
    }

    std::vector<EnginePreparation> followed;
    auto withProgress =
        spawn(executor, port.prepare(DictationLanguage::english,
                                     [&](const EnginePreparation& report) { followed.push_back(report); }));
    executor.runUntilIdle();
    EXPECT_EQ(followed, engine->reports);
}

} // namespace
} // namespace TessarinCore
