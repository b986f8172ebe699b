#include "AppModelFixture.h"

using namespace Parlindo;
using namespace Parlindo::Testing;

TEST_F(AppModelTest, BuildsEveryServiceOnceInItsFixedOrder) {
    build();

    EXPECT_EQ(services.calls,
              (std::vector<std::string>{"loginItem", "updater", "keychain", "permissions", "recorder",
                                        "frontmostApp", "inserter", "containerSecretStore",
                                        "cloudTranscriber", "appleSpeech", "hotkeySource", "frontmostApp"}));
    // Nothing runs before the main actor does.
    EXPECT_EQ(services.loginItem->calls, std::vector<std::string>{"status"});
    EXPECT_EQ(services.permissions->reading.calls(), 0);
}

TEST_F(AppModelTest, WiresTheServicesAsTheApplicationNeedsThem) {
    services.cloud->storedSupportID = "device-7";
    build();

    EXPECT_EQ(services.keychainService, "com.tessarin.Tessarin");
    EXPECT_EQ(services.inserterFrontmostApp, services.frontmostApps[0]);
    EXPECT_EQ(services.inserterRestoreDelay, ms(350));
    EXPECT_EQ(services.container->directory, "/home/user/.local/share/Tessarin/Secrets");
    EXPECT_EQ(services.container->migratingFrom, services.keychain);
    EXPECT_EQ(services.cloud->baseURL, "https://api.parlindo.invalid/");
    EXPECT_EQ(services.cloud->appVersion, "1.2.0");
    EXPECT_EQ(services.cloud->secrets, services.container);
    EXPECT_EQ(services.cloud->defaults, defaults);
    EXPECT_EQ(services.cloud->requestTimeout, 15.0);
    ASSERT_TRUE(services.updaterConfiguration);
    EXPECT_EQ(services.updaterConfiguration->feedAddress, "https://updates.parlindo.invalid/appcast.xml");
    EXPECT_EQ(services.updaterConfiguration->currentVersion, "1.2.0");
    EXPECT_NE(model->updater(), nullptr);

    EXPECT_EQ(model->appVersion(), "1.2.0");
    EXPECT_EQ(model->apiURL(), "https://api.parlindo.invalid/");
    EXPECT_EQ(model->supportID().get(), "device-7");
    EXPECT_EQ(model->audio(), services.recorder);
    EXPECT_EQ(model->inserter(), services.inserter);
    EXPECT_EQ(model->permissions(), services.permissions);
    EXPECT_EQ(model->secrets(), services.keychain);
    EXPECT_EQ(model->settingsStore().key(), "dictationSettings");
    EXPECT_EQ(model->hotkeyStatus().get(), AppModel::HotkeyStatus::starting);
    EXPECT_TRUE(model->engineStatus()->empty());
    EXPECT_TRUE(model->permissionStatus()->empty());
    EXPECT_TRUE(model->cloudChecks()->empty());
    EXPECT_EQ(model->cloudMinutesLeft().get(), std::nullopt);
    EXPECT_FALSE(model->cloudBlocked().get());
    EXPECT_EQ(model->update().get(), AppModel::UpdateStatus::notChecked());
    EXPECT_FALSE(model->coordinator()->isRunning());
}

TEST_F(AppModelTest, TheRouterHoldsTheAppleEngineAndThenTheCloudOnly) {
    build();
    const auto& engines = model->router().engines();
    ASSERT_EQ(engines.size(), 2u);
    EXPECT_EQ(engines[0], services.appleSpeech);
    EXPECT_EQ(engines[1], services.cloud->transcriber);
    for (const EngineID absent : {EngineID::zodozorEro, EngineID::openAI, EngineID::groq}) {
        EXPECT_EQ(model->router().engine(absent), nullptr);
    }
}

TEST_F(AppModelTest, TheCoordinatorGetsTheStoredSettingsOrTheDefaultsWithoutWritingAnything) {
    build();
    EXPECT_EQ(model->coordinator()->settings().get(), SettingsStore::defaultSettings());
    EXPECT_EQ(defaults->value("dictationSettings"), std::nullopt);
    model.reset();

    DictationSettings stored = SettingsStore::defaultSettings();
    stored.vocabularyPrompt = "Parlindo, Tessarin";
    stored.insertionMethod = InsertionMethod::type;
    SettingsStore("dictationSettings", defaults).save(stored);
    build();
    EXPECT_EQ(model->coordinator()->settings().get(), stored);
}

TEST_F(AppModelTest, KeysInTheKeychainMakeNoCloudEngineWhileNoneIsBuilt) {
    services.keychain->secrets = {{SecretKey::openAIAPIKey, "sk-1"}, {SecretKey::groqAPIKey, "gsk-2"}};
    defaults->set("cloudKeyHint", "sk-…1");
    build();
    EXPECT_TRUE(model->cloudEnginesWithKeys()->empty());
    EXPECT_TRUE(model->cloudKeyHints()->empty());
}

TEST_F(AppModelTest, AMissingVersionReadsAsZero) {
    bundle = System::Bundle::Bundle({{"TessarinAPIURL", "https://api.parlindo.invalid/"}},
                                    "/opt/parlindo/bin/parlindo");
    build();
    EXPECT_EQ(model->appVersion(), "0");
    EXPECT_EQ(services.cloud->appVersion, "0");
    // Without an update feed there is no updater.
    EXPECT_EQ(model->updater(), nullptr);
}

TEST_F(AppModelTest, ABuildWithoutAnUpdateFeedHasNoUpdater) {
    bundle = System::Bundle::Bundle(
        {{"TessarinAPIURL", "https://api.parlindo.invalid/"}, {"TessarinAppcastURL", ""}},
        "/opt/parlindo/bin/parlindo");
    build();
    EXPECT_EQ(model->updater(), nullptr);
    EXPECT_FALSE(services.updaterConfiguration);
}

using AppModelDeathTest = AppModelTest;

TEST_F(AppModelDeathTest, AMissingCloudAddressStopsTheApplication) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const auto& info : std::vector<System::Bundle::Bundle::InfoDictionary>{
             {{"CFBundleShortVersionString", "1.2.0"}},
             {{"CFBundleShortVersionString", "1.2.0"}, {"TessarinAPIURL", "not an address"}}}) {
        bundle = System::Bundle::Bundle(info, "/opt/parlindo/bin/parlindo");
        EXPECT_DEATH(build(), "TessarinAPIURL is missing from Info.plist");
    }
}

TEST_F(AppModelTest, TheOverlayFollowsTheModelsCoordinator) {
    grantAll();
    notFirstRun();
    launch();
    EXPECT_EQ(model->hud()->phase().get(), HUDModel::Phase::hidden());
    press();
    EXPECT_EQ(model->hud()->phase().get(), HUDModel::Phase::listening());
    EXPECT_EQ(model->hud()->language().get(), DictationLanguage::english);
    services.recorder->speak(clearSpeech());
    executor.advance(ms(1500));
    release();
    executor.advance(ms(100));
    EXPECT_EQ(model->hud()->phase().get(),
              HUDModel::Phase::message("hello world", std::nullopt, HUDModel::Style::success));
}
