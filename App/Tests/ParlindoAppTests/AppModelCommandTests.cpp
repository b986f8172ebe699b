#include "AppModelFixture.h"

#include <stdexcept>

using namespace Parlindo;
using namespace Parlindo::Testing;
using HotkeyStatus = AppModel::HotkeyStatus;

namespace {

class AppModelCommandTest : public AppModelTest {
protected:
    void SetUp() override {
        AppModelTest::SetUp();
        grantAll();
        notFirstRun();
        launch();
    }

    std::optional<DictationSettings> stored() {
        const auto value = defaults->value("dictationSettings");
        return value ? std::optional(value->get<DictationSettings>()) : std::nullopt;
    }
    // Puts settings in the store that the model does not hold, to see whether a command saves.
    void storeOtherSettings() {
        DictationSettings other = SettingsStore::defaultSettings();
        other.groqModel = "stored by the test";
        defaults->set("dictationSettings", other);
    }
    bool savedSinceStoreOtherSettings() { return stored()->groqModel != "stored by the test"; }

    void runTask(System::Concurrency::Task<void> task) {
        System::Concurrency::spawn(executor, std::move(task));
        executor.runUntilIdle();
    }
};

} // namespace

TEST_F(AppModelCommandTest, PastingTheLastTranscriptWaitsAndUsesTheSettingsOfThatMoment) {
    runTask(model->pasteLastTranscript());
    EXPECT_TRUE(services.inserter->requests.empty());

    dictate();
    services.inserter->requests.clear();
    const auto lastResult = model->coordinator()->lastResult().get();

    System::Concurrency::spawn(executor, model->pasteLastTranscript());
    executor.advance(ms(249));
    EXPECT_TRUE(services.inserter->requests.empty());
    model->setInsertionMethod(InsertionMethod::type);
    model->setRestoresClipboard(false);
    executor.advance(ms(1));
    ASSERT_EQ(services.inserter->requests.size(), 1u);
    EXPECT_EQ(services.inserter->requests[0],
              (InsertionRequest{"hello world ", std::nullopt, InsertionMethod::type, false}));

    model->setAppendsTrailingSpace(false);
    System::Concurrency::spawn(executor, model->pasteLastTranscript());
    executor.advance(ms(250));
    EXPECT_EQ(services.inserter->requests[1].text, "hello world");
    // The coordinator's result is not touched.
    EXPECT_EQ(model->coordinator()->lastResult().get(), lastResult);
}

TEST_F(AppModelCommandTest, ACancelledPasteStillPastes) {
    dictate();
    services.inserter->requests.clear();
    auto paste = System::Concurrency::spawn(executor, model->pasteLastTranscript());
    executor.runUntilIdle();
    paste.cancel();
    executor.runUntilIdle();
    EXPECT_EQ(services.inserter->requests.size(), 1u);
}

TEST_F(AppModelCommandTest, CopyingPutsTheTextAloneOnTheClipboard) {
    model->copyLastTranscript();
    EXPECT_EQ(pasteboard->changeCount(), 0);

    dictate();
    model->copyLastTranscript();
    const auto items = pasteboard->contents();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].data(System::Pasteboard::stringType), "hello world");
}

TEST_F(AppModelCommandTest, AddingAHotkeyBindsItForAutomaticDetectionAndSaves) {
    model->addHotkey(Hotkey::rightCommand());
    const std::vector<HotkeyBinding> expected{{Hotkey::function(), DictationLanguage::english},
                                              {Hotkey::rightOption(), DictationLanguage::arabic},
                                              {Hotkey::rightCommand(), DictationLanguage::automatic}};
    EXPECT_EQ(model->bindings(), expected);
    EXPECT_EQ(stored()->bindings(), expected);
    // The running coordinator watches the new key at once.
    EXPECT_EQ(services.hotkeySource->starts.back(),
              (std::vector<Hotkey>{Hotkey::function(), Hotkey::rightOption(), Hotkey::rightCommand()}));

    // A key already bound keeps its first binding, and the settings are saved all the same.
    storeOtherSettings();
    model->addHotkey(Hotkey::function());
    EXPECT_EQ(model->bindings(), expected);
    EXPECT_TRUE(savedSinceStoreOtherSettings());
}

TEST_F(AppModelCommandTest, RemovingAHotkeyGoesByKeyCodeAndNeverRemovesTheLastOne) {
    model->removeHotkey(Hotkey{61, "another name"});
    EXPECT_EQ(model->bindings(),
              (std::vector<HotkeyBinding>{{Hotkey::function(), DictationLanguage::english}}));
    EXPECT_EQ(stored()->bindings(), model->bindings());

    storeOtherSettings();
    model->removeHotkey(Hotkey::function());
    EXPECT_EQ(model->bindings().size(), 1u);
    EXPECT_FALSE(savedSinceStoreOtherSettings());
}

TEST_F(AppModelCommandTest, SettingsPropertiesChangeTheCoordinatorAndAlwaysSave) {
    int notified = 0;
    auto subscription = model->coordinator()->settings().observe([&](const auto&) { ++notified; });

    model->setVocabulary("");
    EXPECT_EQ(model->coordinator()->settings()->vocabularyPrompt, std::optional<std::string>(""));
    EXPECT_EQ(model->vocabulary(), "");
    EXPECT_EQ(stored()->vocabularyPrompt, std::optional<std::string>(""));

    model->setVocabulary("Parlindo, Tessarin");
    EXPECT_EQ(model->vocabulary(), "Parlindo, Tessarin");
    model->setInsertionMethod(InsertionMethod::type);
    EXPECT_EQ(model->insertionMethod(), InsertionMethod::type);
    model->setAppendsTrailingSpace(false);
    EXPECT_FALSE(model->appendsTrailingSpace());
    EXPECT_EQ(stored(), model->coordinator()->settings().get());

    storeOtherSettings();
    model->setRestoresClipboard(model->restoresClipboard());
    EXPECT_TRUE(savedSinceStoreOtherSettings());
    EXPECT_EQ(notified, 5);
}

TEST_F(AppModelCommandTest, SwitchingOpenAtLoginReReadsTheStatusEvenWhenItFails) {
    services.loginItem->setStatus(Status::notRegistered);
    model->refreshLoginItemStatus();
    services.loginItem->registrationNeedsApproval = true;
    model->setOpensAtLogin(true);
    EXPECT_EQ(model->loginItemStatus().get(), Status::requiresApproval);
    EXPECT_TRUE(model->opensAtLogin());
    EXPECT_TRUE(logged("Open at login set to true: now requires approval"));

    services.loginItem->nextFailure = "The autostart folder is read-only.";
    model->setOpensAtLogin(false);
    EXPECT_TRUE(logged("Open at login couldn't be changed: The autostart folder is read-only."));
    EXPECT_TRUE(logged("Open at login set to false: now requires approval"));
    EXPECT_TRUE(model->opensAtLogin());

    model->setOpensAtLogin(false);
    EXPECT_EQ(model->loginItemStatus().get(), Status::notRegistered);
    EXPECT_FALSE(model->opensAtLogin());
    EXPECT_TRUE(logged("Open at login set to false: now not registered"));

    services.loginItem->setStatus(Status::notFound);
    model->refreshLoginItemStatus();
    EXPECT_FALSE(model->opensAtLogin());
}

TEST_F(AppModelCommandTest, RequestingTheMicrophoneStoresTheAnswerOnly) {
    services.permissions->statuses[Permission::microphone] = PermissionStatus::notDetermined;
    services.permissions->answers = {{Permission::microphone, PermissionStatus::denied}};
    services.permissions->statuses[Permission::postEvents] = PermissionStatus::denied;
    runTask(model->requestMicrophone());
    EXPECT_EQ(permissionStatus().at(Permission::microphone), PermissionStatus::denied);
    EXPECT_EQ(permissionStatus().at(Permission::postEvents), PermissionStatus::granted);
}

TEST_F(AppModelCommandTest, ThePermissionMonitorStartsTheKeysOnceInputMonitoringIsGranted) {
    model->coordinator()->stop();
    model.reset();
    executor.runUntilIdle();
    services.permissions->statuses[Permission::inputMonitoring] = PermissionStatus::denied;
    launch();
    ASSERT_EQ(model->hotkeyStatus().get(), HotkeyStatus::needsInputMonitoring);
    const auto requests = services.permissions->requests.size();
    const auto starts = services.hotkeySource->starts.size();

    auto monitor = System::Concurrency::spawn(executor, model->monitorPermissions());
    executor.runUntilIdle();
    services.permissions->statuses[Permission::inputMonitoring] = PermissionStatus::granted;
    executor.advance(ms(1000));
    EXPECT_EQ(model->hotkeyStatus().get(), HotkeyStatus::listening);
    EXPECT_EQ(services.permissions->requests.size(), requests);
    // The coordinator was running without the permission; its key tap is made again.
    EXPECT_EQ(services.hotkeySource->starts.size(), starts + 1);

    // Withdrawing the permission shows in the statuses but leaves the keys listening.
    services.permissions->statuses[Permission::inputMonitoring] = PermissionStatus::denied;
    executor.advance(ms(1000));
    EXPECT_EQ(permissionStatus().at(Permission::inputMonitoring), PermissionStatus::denied);
    EXPECT_EQ(model->hotkeyStatus().get(), HotkeyStatus::listening);
    EXPECT_FALSE(model->needsSetup());

    monitor.cancel();
    executor.runUntilIdle();
    EXPECT_TRUE(monitor.isDone());
    const int reads = services.permissions->reading.calls();
    executor.advance(ms(5000));
    EXPECT_EQ(services.permissions->reading.calls(), reads);
}

TEST_F(AppModelCommandTest, AlreadyListeningKeysOnlyRecordThePermission) {
    const auto starts = services.hotkeySource->starts.size();
    const auto stops = services.hotkeySource->stops;
    runTask(model->startHotkeys(true));
    EXPECT_EQ(services.hotkeySource->starts.size(), starts);
    EXPECT_EQ(services.hotkeySource->stops, stops);
}

TEST_F(AppModelCommandTest, TheCloudAccountIsReadOnlyForARegisteredDevice) {
    runTask(model->refreshCloudAccount());
    EXPECT_EQ(services.cloud->account.calls(), 0);

    services.cloud->storedSupportID = "device-1";
    services.cloud->account.willReturn(TessarinCloudService::AccountStatus{true, 600, 12});
    runTask(model->refreshCloudAccount());
    EXPECT_EQ(model->cloudMinutesLeft().get(), 12);
    EXPECT_TRUE(model->cloudBlocked().get());

    services.cloud->account.willThrow(std::runtime_error("The service is paused."));
    runTask(model->refreshCloudAccount());
    EXPECT_TRUE(logged("Couldn't read the Tessarin Cloud account: The service is paused."));
    EXPECT_EQ(model->cloudMinutesLeft().get(), 12);
    EXPECT_TRUE(model->cloudBlocked().get());
}

TEST_F(AppModelCommandTest, RelaunchingQuitsOnlyOnceTheNewInstanceHasStarted) {
    desktop->launchSucceeds = false;
    model->relaunch();
    executor.runUntilIdle();
    EXPECT_EQ(desktop->launched, std::vector<std::filesystem::path>{"/opt/parlindo/bin/parlindo"});
    EXPECT_EQ(application->terminations, 0);
    EXPECT_TRUE(logged("Parlindo couldn't be started again, so it keeps running"));

    desktop->launchSucceeds = true;
    model->relaunch();
    EXPECT_EQ(application->terminations, 0);
    executor.runUntilIdle();
    EXPECT_EQ(application->terminations, 1);
}

TEST_F(AppModelCommandTest, RevealingShowsTheProgramFile) {
    model->revealAppInFinder();
    EXPECT_EQ(desktop->revealed, std::vector<std::filesystem::path>{"/opt/parlindo/bin/parlindo"});
}
