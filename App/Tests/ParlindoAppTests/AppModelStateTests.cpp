#include "AppModelFixture.h"

using namespace Parlindo;
using namespace Parlindo::Testing;
using HotkeyStatus = AppModel::HotkeyStatus;
using StatusImage = AppModel::StatusImage;
using UpdateStatus = AppModel::UpdateStatus;

namespace {

const StatusImage micImage{"mic"};
const StatusImage micSlashImage{"mic.slash"};
const StatusImage recordingImage{"mic.fill", false, "systemRed"};
const StatusImage waveformImage{"waveform"};
const StatusImage failedImage{"exclamationmark.triangle"};

} // namespace

TEST_F(AppModelTest, StatusTextAndIconFollowEveryCoordinatorState) {
    grantAll();
    notFirstRun();
    launch();
    EXPECT_EQ(model->statusText(), "Hold Menu key (English) or Right Alt (Arabic) to dictate");
    EXPECT_EQ(model->statusImage(), micImage);
    EXPECT_TRUE(model->isReadyToDictate());

    press();
    EXPECT_EQ(model->statusText(), "Listening\u2026");
    EXPECT_EQ(model->statusImage(), recordingImage);

    services.appleSpeech->finishing.hold();
    services.recorder->speak(clearSpeech());
    executor.advance(ms(1500));
    release();
    executor.advance(ms(100));
    EXPECT_EQ(model->statusText(), "Transcribing\u2026");
    EXPECT_EQ(model->statusImage(), waveformImage);

    services.inserter->inserting.hold();
    services.appleSpeech->finishing.release();
    executor.runUntilIdle();
    EXPECT_EQ(model->statusText(), "Inserting\u2026");
    EXPECT_EQ(model->statusImage(), waveformImage);

    services.inserter->inserting.release();
    executor.runUntilIdle();
    EXPECT_EQ(model->statusImage(), micImage);

    // Digital silence: the microphone sent nothing.
    dictate(std::vector<float>(16000, 0.0f));
    ASSERT_TRUE(std::holds_alternative<DictationState::Failed>(model->coordinator()->state()->value));
    EXPECT_EQ(model->statusText(), "Error: The microphone sent no sound");
    EXPECT_EQ(model->statusImage(), failedImage);
    // Readiness is about keys and permissions, not about the last dictation.
    EXPECT_TRUE(model->isReadyToDictate());
}

TEST_F(AppModelTest, WaitingForInputMonitoringOutweighsWhatTheCoordinatorSays) {
    services.permissions->statuses = {{Permission::microphone, PermissionStatus::granted},
                                      {Permission::postEvents, PermissionStatus::granted}};
    services.permissions->answers = {{Permission::inputMonitoring, PermissionStatus::denied}};
    notFirstRun();
    launch();
    EXPECT_EQ(model->statusText(), "Can't see the dictation keys: needs X11 or XWayland");
    EXPECT_EQ(model->statusImage(), micSlashImage);
    EXPECT_FALSE(model->isReadyToDictate());

    // The fake key source delivers keys anyway: a failed dictation still reads as waiting for the permission.
    dictate(std::vector<float>(16000, 0.0f));
    EXPECT_EQ(model->statusText(), "Can't see the dictation keys: needs X11 or XWayland");
    EXPECT_EQ(model->statusImage(), failedImage);
}

TEST_F(AppModelTest, HotkeyListsJoinTheirKeysAsAlternatives) {
    build();
    EXPECT_EQ(model->hotkeyNames(), "Menu key or Right Alt");

    model->setBindings({{Hotkey::function(), DictationLanguage::automatic}});
    EXPECT_EQ(model->statusText(), "Hold Menu key (Auto) to dictate");
    EXPECT_EQ(model->hotkeyNames(), "Menu key");

    model->setBindings({{Hotkey::function(), DictationLanguage::automatic},
                        {Hotkey::rightOption(), DictationLanguage::arabic},
                        {Hotkey::rightShift(), DictationLanguage::english}});
    EXPECT_EQ(model->statusText(),
              "Hold Menu key (Auto), Right Alt (Arabic), or Right Shift (English) to dictate");
}

TEST_F(AppModelTest, SetupIsNeededOnlyForWhatBlocksDictation) {
    struct Case {
        std::map<Permission, PermissionStatus> statuses;
        bool needsSetup;
        bool ready;
    };
    const auto granted = PermissionStatus::granted;
    const std::vector<Case> cases{
        {{}, false, false},
        {{{Permission::microphone, granted}, {Permission::postEvents, granted}}, false, true},
        {{{Permission::microphone, PermissionStatus::notDetermined}, {Permission::postEvents, granted}},
         false,
         false},
        {{{Permission::microphone, PermissionStatus::denied}, {Permission::postEvents, granted}},
         true,
         false},
        {{{Permission::microphone, granted}, {Permission::postEvents, PermissionStatus::denied}},
         true,
         false},
        {{{Permission::microphone, granted},
          {Permission::postEvents, PermissionStatus::grantedAfterRelaunch}},
         true,
         false},
        {{{Permission::microphone, granted}}, false, false},
    };
    notFirstRun();
    for (const auto& c : cases) {
        // Input monitoring is granted in every case, so the keys listen; requests change nothing here.
        services.permissions->statuses = c.statuses;
        services.permissions->statuses[Permission::inputMonitoring] = PermissionStatus::granted;
        launch();
        auto read = permissionStatus();
        read.erase(Permission::inputMonitoring);
        EXPECT_EQ(model->needsSetup(), c.needsSetup) << testing::PrintToString(read);
        EXPECT_EQ(model->isReadyToDictate(), c.ready) << testing::PrintToString(read);
        model->coordinator()->stop();
        model.reset();
        executor.runUntilIdle();
    }
    // Before the first reading every entry is missing: nothing is needed yet, nothing is ready.
    build();
    EXPECT_FALSE(model->needsSetup());
    EXPECT_FALSE(model->isReadyToDictate());
}

TEST_F(AppModelTest, AnUpdateCanBeInstalledThroughTheUpdaterOrADownloadAddress) {
    build();
    executor.runUntilIdle();
    ASSERT_NE(model->updater(), nullptr);
    EXPECT_TRUE(model->canInstallUpdate());
    model.reset();
    executor.runUntilIdle();

    bundle = System::Bundle::Bundle({{"TessarinAPIURL", "https://api.parlindo.invalid/"}},
                                    "/opt/parlindo/parlindo");
    using VersionInfo = TessarinCloudService::VersionInfo;
    // Without a version of its own the application runs as version "0".
    services.cloud->version.willReturn(VersionInfo{"1.0", "0", std::nullopt});
    services.cloud->version.willReturn(VersionInfo{"2.0", "0.1", std::nullopt});
    services.cloud->version.willReturn(VersionInfo{"2.0", "2.0", "https://parlindo.invalid/d"});
    build();
    executor.runUntilIdle();
    EXPECT_EQ(model->update().get(), UpdateStatus::available("1.0", std::nullopt));
    EXPECT_FALSE(model->canInstallUpdate());
    executor.advance(twelveHours);
    EXPECT_EQ(model->update().get(), UpdateStatus::required("2.0", std::nullopt));
    EXPECT_FALSE(model->canInstallUpdate());
    executor.advance(twelveHours);
    EXPECT_TRUE(model->canInstallUpdate());
}

TEST_F(AppModelTest, UnusedHotkeysAreTheSupportedOnesNotBoundByKeyCode) {
    build();
    const auto names = [&] {
        std::vector<std::string> names;
        for (const auto& hotkey : model->unusedHotkeys()) {
            names.push_back(hotkey.displayName);
        }
        return names;
    };
    EXPECT_EQ(names(), (std::vector<std::string>{"Right \u2318", "Right \u2303", "Right \u21E7"}));

    std::vector<HotkeyBinding> all;
    for (const auto& hotkey : Hotkey::supported()) {
        all.push_back({hotkey, DictationLanguage::automatic});
    }
    model->setBindings(all);
    EXPECT_TRUE(names().empty());

    // A binding with the key code of a supported key, whatever its name, uses that key.
    model->setBindings({{Hotkey{54, "Command"}, DictationLanguage::english}});
    EXPECT_EQ(names(),
              (std::vector<std::string>{"fn \U0001F310", "Right \u2325", "Right \u2303", "Right \u21E7"}));
}

TEST_F(AppModelTest, EngineLabelsNameTheEngineThatWouldTranscribe) {
    build();
    EXPECT_EQ(model->engineLabel(DictationLanguage::english), "On this computer");
    EXPECT_EQ(model->engineLabel(DictationLanguage::arabic), "Parlindo Cloud");
    EXPECT_EQ(model->engineLabel(DictationLanguage::automatic), "Parlindo Cloud");

    // The OpenAI engine is not registered: Arabic falls back to the Apple engine, automatic has none.
    model->coordinator()->editSettings([](DictationSettings& settings) {
        settings.engines = {EngineID::tessarin, EngineID::openAI, EngineID::openAI};
    });
    EXPECT_EQ(model->engineLabel(DictationLanguage::english), "Parlindo Cloud");
    EXPECT_EQ(model->engineLabel(DictationLanguage::arabic), "On this computer");
    EXPECT_EQ(model->engineLabel(DictationLanguage::automatic), std::nullopt);
}
