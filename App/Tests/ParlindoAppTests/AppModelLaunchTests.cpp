#include "AppModelFixture.h"
#include "TessarinPlatform/Speech/AppleSpeechTranscriber.h"

#include <algorithm>
#include <stdexcept>

using namespace Parlindo;
using namespace Parlindo::Testing;
using HotkeyStatus = AppModel::HotkeyStatus;
using EngineStatus = AppModel::EngineStatus;

namespace {

struct PreparationError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace

TEST_F(AppModelTest, AFirstRunWithEveryPermissionMakesEverythingReady) {
    grantAll();
    services.cloud->storedSupportID = "device-7";
    launch();

    // Open at login: registered, then registered again so that it points at this application.
    EXPECT_EQ(services.loginItem->calls,
              (std::vector<std::string>{"status", "register", "status", "unregister", "register", "status"}));
    EXPECT_EQ(defaults->get<bool>("openAtLoginSetUp"), true);
    EXPECT_EQ(defaults->get<bool>("loginItemPointsAtParlindo"), true);
    EXPECT_EQ(model->loginItemStatus().get(), Status::enabled);

    EXPECT_EQ(permissionStatus(), services.permissions->statuses);
    EXPECT_TRUE(services.permissions->requests.empty());
    EXPECT_EQ(model->hotkeyStatus().get(), HotkeyStatus::listening);
    EXPECT_TRUE(model->coordinator()->isRunning());
    EXPECT_EQ(services.hotkeySource->starts.size(), 1u);
    EXPECT_EQ(services.recorder->preparing.calls(), 1);

    EXPECT_EQ(services.appleSpeech->preparedLanguages,
              (std::vector<DictationLanguage>{DictationLanguage::english, DictationLanguage::arabic}));
    EXPECT_EQ(services.cloud->transcriber->preparedLanguages,
              std::vector<DictationLanguage>{DictationLanguage::automatic});
    EXPECT_EQ(model->engineStatus().get(),
              (std::map<EngineID, EngineStatus>{{EngineID::appleSpeech, EngineStatus::ready()},
                                                {EngineID::tessarin, EngineStatus::ready()}}));
    EXPECT_EQ(model->supportID().get(), "device-7");
    EXPECT_EQ(services.cloud->account.calls(), 1);
    EXPECT_EQ(model->cloudMinutesLeft().get(), 420);
    EXPECT_TRUE(model->isReadyToDictate());
    EXPECT_FALSE(model->needsSetup());

    const auto lines = appLog();
    const std::vector<std::string> expected{
        "Open at login set to true: now enabled",
        "Open at login set to true: now enabled",
        "Open at login: enabled",
        "Launch permissions: microphone=granted, inputMonitoring=granted, postEvents=granted, "
        "accessibilityTrusted=true",
        "Hotkey status: listening",
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5), expected);
}

TEST_F(AppModelTest, ALaterRunLeavesTheLoginItemAlone) {
    grantAll();
    notFirstRun();
    services.loginItem->setStatus(Status::notRegistered);
    launch();
    EXPECT_EQ(services.loginItem->calls, std::vector<std::string>{"status"});
    EXPECT_TRUE(logged("Open at login: not registered"));
    EXPECT_FALSE(model->opensAtLogin());
}

// An entry written by a start without the cloud's address would start the next login's copy without it.
TEST_F(AppModelTest, AnEnabledItemThatStartsTheProgramOtherwiseIsWrittenAgain) {
    grantAll();
    notFirstRun();
    services.loginItem->setStatus(Status::enabled);
    services.loginItem->current = false;
    launch();
    EXPECT_EQ(services.loginItem->calls, (std::vector<std::string>{"status", "register", "status"}));
    EXPECT_TRUE(services.loginItem->current);
    EXPECT_TRUE(model->opensAtLogin());

    // Switched off, it stays off whatever it would start.
    services.loginItem->calls.clear();
    services.loginItem->setStatus(Status::notRegistered);
    services.loginItem->current = false;
    model.reset();
    executor.runUntilIdle();
    build();
    executor.runUntilIdle();
    EXPECT_EQ(services.loginItem->calls, std::vector<std::string>{"status"});
}

TEST_F(AppModelTest, AnItemEnabledBeforeItWasRepointedIsRegisteredAgainOnce) {
    grantAll();
    defaults->set("openAtLoginSetUp", true);
    services.loginItem->setStatus(Status::enabled);
    launch();
    EXPECT_EQ(services.loginItem->calls,
              (std::vector<std::string>{"status", "unregister", "register", "status"}));
    model.reset();
    executor.runUntilIdle();

    services.loginItem->calls.clear();
    launch();
    EXPECT_EQ(services.loginItem->calls, std::vector<std::string>{"status"});
}

TEST_F(AppModelTest, AnItemAwaitingApprovalCountsAsOnAndIsOnlyRepointed) {
    grantAll();
    services.loginItem->setStatus(Status::requiresApproval);
    services.loginItem->registrationNeedsApproval = true;
    launch();
    EXPECT_EQ(services.loginItem->calls,
              (std::vector<std::string>{"status", "unregister", "register", "status"}));
    EXPECT_TRUE(model->opensAtLogin());
    EXPECT_TRUE(logged("Open at login: requires approval"));
}

TEST_F(AppModelTest, ACopyRunFromATemporaryPlaceRegistersNothing) {
    grantAll();
    bundle = System::Bundle::Bundle(bundle.infoDictionary(),
                                    std::filesystem::temp_directory_path() / "x" / "parlindo");
    launch();
    EXPECT_EQ(services.loginItem->calls, std::vector<std::string>{"status"});
    EXPECT_EQ(defaults->value("openAtLoginSetUp"), std::nullopt);
    EXPECT_EQ(defaults->value("loginItemPointsAtParlindo"), std::nullopt);
    // Not silently: the log says why there is no entry and what to do.
    const std::string said =
        "Parlindo runs from the temporary folder (" + bundle.executablePath().string() +
        "), where a copy may be gone by the next login, so it doesn't open at login by "
        "itself. Build it elsewhere, or switch on \"Open Parlindo at login\" in Settings.";
    const auto times = [&] {
        const auto lines = appLog();
        return std::count(lines.begin(), lines.end(), said);
    };
    EXPECT_EQ(times(), 1);

    // Once the user has switched it on, there is nothing to explain.
    model->setOpensAtLogin(true);
    model.reset();
    executor.runUntilIdle();
    launch();
    EXPECT_EQ(times(), 1);
    EXPECT_TRUE(model->opensAtLogin());
}

TEST_F(AppModelTest, DeniedPermissionsAreRecordedAndTheKeysWaitForInputMonitoring) {
    services.permissions->statuses = {{Permission::microphone, PermissionStatus::denied},
                                      {Permission::inputMonitoring, PermissionStatus::denied},
                                      {Permission::postEvents, PermissionStatus::denied}};
    notFirstRun();
    launch();

    // Input monitoring and event posting are asked for once each; the microphone was decided already.
    EXPECT_EQ(services.permissions->requests,
              (std::vector<Permission>{Permission::inputMonitoring, Permission::postEvents}));
    EXPECT_EQ(permissionStatus(), services.permissions->statuses);
    EXPECT_EQ(model->hotkeyStatus().get(), HotkeyStatus::needsInputMonitoring);
    EXPECT_TRUE(model->coordinator()->isRunning());
    EXPECT_TRUE(model->needsSetup());
    EXPECT_FALSE(model->isReadyToDictate());
    EXPECT_TRUE(logged("Launch permissions: microphone=denied, inputMonitoring=denied, postEvents=denied, "
                       "accessibilityTrusted=false"));
    EXPECT_TRUE(logged("The dictation keys can't be watched: Parlindo needs an X11 session or XWayland"));
    EXPECT_TRUE(logged("Hotkey status: needsInputMonitoring"));
    EXPECT_EQ(model->statusText(), "Can't see the dictation keys: needs X11 or XWayland");
}

TEST_F(AppModelTest, UndeterminedPermissionsAreAskedFor) {
    notFirstRun();
    services.permissions->answers = {{Permission::microphone, PermissionStatus::granted},
                                     {Permission::inputMonitoring, PermissionStatus::granted},
                                     {Permission::postEvents, PermissionStatus::grantedAfterRelaunch}};
    launch();

    // The microphone is asked in a task of its own, which the launch does not wait for.
    EXPECT_EQ(services.permissions->requests,
              (std::vector<Permission>{Permission::inputMonitoring, Permission::postEvents,
                                       Permission::microphone}));
    EXPECT_EQ(permissionStatus(), (std::map<Permission, PermissionStatus>{
                                      {Permission::microphone, PermissionStatus::granted},
                                      {Permission::inputMonitoring, PermissionStatus::granted},
                                      {Permission::postEvents, PermissionStatus::grantedAfterRelaunch}}));
    EXPECT_TRUE(logged("Launch permissions: microphone=notDetermined, inputMonitoring=notDetermined, "
                       "postEvents=notDetermined, accessibilityTrusted=false"));
    EXPECT_EQ(model->hotkeyStatus().get(), HotkeyStatus::listening);
    // Effective only after a relaunch: setup is needed and dictation is not ready.
    EXPECT_TRUE(model->needsSetup());
    EXPECT_FALSE(model->isReadyToDictate());
}

TEST_F(AppModelTest, TheMicrophoneRequestDoesNotHoldUpTheLaunch) {
    notFirstRun();
    services.permissions->statuses = {{Permission::inputMonitoring, PermissionStatus::granted},
                                      {Permission::postEvents, PermissionStatus::granted}};
    services.permissions->answers = {{Permission::microphone, PermissionStatus::granted}};
    services.permissions->requesting.hold();
    launch();

    EXPECT_EQ(services.permissions->requests, std::vector<Permission>{Permission::microphone});
    EXPECT_EQ(permissionStatus().at(Permission::microphone), PermissionStatus::notDetermined);
    EXPECT_EQ(engineStatus(EngineID::appleSpeech), EngineStatus::ready());

    services.permissions->requesting.release();
    executor.runUntilIdle();
    EXPECT_EQ(permissionStatus().at(Permission::microphone), PermissionStatus::granted);
}

TEST_F(AppModelTest, FailuresOfTheKeyTapAndTheRecorderAreLoggedAndTheLaunchGoesOn) {
    grantAll();
    notFirstRun();
    services.hotkeySource->startError = std::make_exception_ptr(std::runtime_error("no key tap"));
    services.recorder->preparing.willThrow(std::runtime_error("no sound server"));
    launch();

    EXPECT_TRUE(logged("Hotkey tap unavailable: no key tap"));
    EXPECT_EQ(model->hotkeyStatus().get(), HotkeyStatus::listening);
    EXPECT_TRUE(logged("Audio engine unavailable: no sound server"));
    EXPECT_EQ(engineStatus(EngineID::appleSpeech), EngineStatus::ready());
}

TEST_F(AppModelTest, AnEngineThatFailsToPrepareSkipsItsOtherLanguages) {
    grantAll();
    notFirstRun();
    services.appleSpeech->preparing.willThrow(PreparationError("The English model is missing."));
    launch();

    EXPECT_EQ(services.appleSpeech->preparedLanguages,
              std::vector<DictationLanguage>{DictationLanguage::english});
    EXPECT_EQ(engineStatus(EngineID::appleSpeech), EngineStatus::failed("The English model is missing."));
    EXPECT_TRUE(logged("appleSpeech failed to prepare: The English model is missing."));
    EXPECT_EQ(engineStatus(EngineID::tessarin), EngineStatus::ready());
    EXPECT_EQ(engineStatus(EngineID::zodozorEro), std::nullopt);
}

TEST_F(AppModelTest, ABuildWithoutACloudAddressSaysOnceThatTheCloudIsNotSetUp) {
    bundle = System::Bundle::Bundle({{"CFBundleShortVersionString", "1.2.0"}, {"TessarinAPIURL", ""}},
                                    "/opt/parlindo/bin/parlindo");
    grantAll();
    notFirstRun();
    // What the cloud client throws without an address.
    services.cloud->transcriber->preparing.willThrow(
        TessarinPlatform::TessarinCloudTranscriber::CloudError::notConfigured());
    launch();
    executor.advance(twelveHours);

    const std::string sentence =
        TessarinPlatform::TessarinCloudTranscriber::CloudError::notConfigured().description();
    EXPECT_EQ(engineStatus(EngineID::tessarin), EngineStatus::failed(sentence));
    // There is no server to ask for versions.
    EXPECT_EQ(services.cloud->version.calls(), 0);
    EXPECT_EQ(model->update().get(), AppModel::UpdateStatus::notSetUp());
    // A build without a server is not a fault: the sentence is a notice, and nothing is an error.
    EXPECT_TRUE(logged(sentence));
    for (const auto& record : logs.records()) {
        EXPECT_LT(record.level, System::Log::Level::error) << record.message;
        if (record.message == sentence) {
            EXPECT_EQ(record.level, System::Log::Level::notice);
        }
    }
}

// A fresh install's on-device engine has no Arabic model: it still serves English, and that is no fault.
TEST_F(AppModelTest, AnOnDeviceEngineWithoutALanguagesModelStaysReadyForTheOthers) {
    grantAll();
    notFirstRun();
    services.appleSpeech->preparing.willAnswer([] {});
    services.appleSpeech->preparing.willThrow(
        TessarinPlatform::AppleSpeechTranscriber::TranscriberError::unsupportedLanguage(
            DictationLanguage::arabic));
    launch();

    EXPECT_EQ(services.appleSpeech->preparedLanguages,
              (std::vector<DictationLanguage>{DictationLanguage::english, DictationLanguage::arabic}));
    EXPECT_EQ(engineStatus(EngineID::appleSpeech), EngineStatus::ready());
    EXPECT_TRUE(logged("appleSpeech skips arabic: The on-device engine can't transcribe Arabic "
                       "(\u0627\u0644\u0639\u0631\u0628\u064A\u0629) on this computer."));
    for (const auto& record : logs.records()) {
        EXPECT_LT(record.level, System::Log::Level::error) << record.message;
    }
}

TEST_F(AppModelTest, PreparationProgressShowsWhileTheEnginePrepares) {
    grantAll();
    notFirstRun();
    services.appleSpeech->reports = {EnginePreparation::downloading(0.25, 1000),
                                     EnginePreparation::loading()};
    services.appleSpeech->preparing.hold();
    launch();

    EXPECT_EQ(engineStatus(EngineID::appleSpeech),
              EngineStatus::preparing(EnginePreparation::loading(), DictationLanguage::english));
    services.appleSpeech->preparing.resumeNext();
    executor.runUntilIdle();
    EXPECT_EQ(engineStatus(EngineID::appleSpeech),
              EngineStatus::preparing(EnginePreparation::loading(), DictationLanguage::arabic));
    services.appleSpeech->preparing.release();
    executor.runUntilIdle();
    EXPECT_EQ(engineStatus(EngineID::appleSpeech), EngineStatus::ready());
}

TEST_F(AppModelTest, TheCloudIsNeitherPreparedNorAskedWhenNoSlotUsesIt) {
    grantAll();
    notFirstRun();
    DictationSettings settings = SettingsStore::defaultSettings();
    settings.engines = {EngineID::appleSpeech, EngineID::appleSpeech, EngineID::appleSpeech};
    SettingsStore("dictationSettings", defaults).save(settings);
    services.cloud->storedSupportID = "device-7";
    build();
    services.cloud->storedSupportID = "device-8";
    executor.runUntilIdle();

    EXPECT_EQ(engineStatus(EngineID::tessarin), std::nullopt);
    EXPECT_TRUE(services.cloud->transcriber->preparedLanguages.empty());
    EXPECT_EQ(services.cloud->account.calls(), 0);
    // Only the follower of dictation events copies the identifier now, once at its start.
    EXPECT_EQ(model->supportID().get(), "device-8");
}

TEST_F(AppModelTest, TheCloudsSupportIdentifierIsReadAgainOnceItHasPrepared) {
    grantAll();
    notFirstRun();
    services.cloud->transcriber->preparing.hold();
    launch();
    EXPECT_EQ(model->supportID().get(), std::nullopt);
    services.cloud->storedSupportID = "device-9";
    services.cloud->transcriber->preparing.release();
    executor.runUntilIdle();
    EXPECT_EQ(model->supportID().get(), "device-9");
    EXPECT_EQ(services.cloud->account.calls(), 1);
}
