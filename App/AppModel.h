#pragma once

#include "App/AppServiceFactory.h"
#include "App/HUD/HUDModel.h"
#include "App/Platform/DesktopServices.h"
#include "App/SettingsStore.h"
#include "App/TessarinCloudService.h"
#include "System/Bundle/Bundle.h"
#include "System/Concurrency/Executor.h"
#include "System/Concurrency/Observed.h"
#include "System/Concurrency/Task.h"
#include "System/Defaults/UserDefaults.h"
#include "System/Log/Logger.h"
#include "System/LoginItem/LoginItem.h"
#include "System/Pasteboard/Pasteboard.h"
#include "TessarinCore/UseCases/DictationCoordinator.h"
#include "TessarinCore/UseCases/TranscriberRouter.h"
#include "TessarinPlatform/Cloud/OpenAITranscriber.h"
#include "TessarinUpdates/AppUpdater.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Parlindo {

// What the application model is built in: the surroundings it does not build itself.
struct AppEnvironment {
    // The main actor: every member of the model and all its tasks run here.
    System::Concurrency::Executor& mainActor;
    // The application's information (version, cloud and update addresses) and its program file.
    const System::Bundle::Bundle& bundle;
    // The user's defaults.
    std::shared_ptr<System::Defaults::UserDefaults> defaults;
    // The application-support folder; the model keeps its files in "Tessarin" inside it.
    std::filesystem::path applicationSupportDirectory;
    std::shared_ptr<DesktopServices> desktop;
    std::shared_ptr<ApplicationControl> application;
    std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard;
    HUDModel::PanelFactory makeHUDPanel;
    // Where the result log writes its lines (standard output in the application).
    std::function<void(std::string_view line)> standardOutput;
};

// The application's composition root and its observable state: it builds every service once, wires them into
// the dictation coordinator, runs the launch sequence and the background tasks, and offers the state, derived
// values and commands that the menu and the windows use. Lives on the main actor, in a shared_ptr (create());
// its tasks hold it only while they work, and end when it goes.
class AppModel : public std::enable_shared_from_this<AppModel> {
public:
    enum class HotkeyStatus { starting, listening, needsInputMonitoring };

    struct EngineStatus {
        struct Preparing {
            TessarinCore::EnginePreparation preparation;
            TessarinCore::DictationLanguage language;
            bool operator==(const Preparing&) const = default;
        };
        struct Failed {
            std::string message;
            bool operator==(const Failed&) const = default;
        };
        struct Loading {
            bool operator==(const Loading&) const = default;
        };
        struct Ready {
            bool operator==(const Ready&) const = default;
        };
        std::variant<Preparing, Failed, Loading, Ready> value;

        static EngineStatus preparing(TessarinCore::EnginePreparation preparation,
                                      TessarinCore::DictationLanguage language) {
            return {Preparing{std::move(preparation), language}};
        }
        static EngineStatus failed(std::string message) { return {Failed{std::move(message)}}; }
        static EngineStatus loading() { return {Loading{}}; }
        static EngineStatus ready() { return {Ready{}}; }
        bool operator==(const EngineStatus&) const = default;
    };

    // Kept for keyed cloud engines; nothing writes or reads it yet.
    struct CloudCheck {
        struct Failed {
            std::string message;
            bool operator==(const Failed&) const = default;
        };
        struct Idle {
            bool operator==(const Idle&) const = default;
        };
        struct Checking {
            bool operator==(const Checking&) const = default;
        };
        struct Passed {
            bool operator==(const Passed&) const = default;
        };
        std::variant<Failed, Idle, Checking, Passed> value;
        bool operator==(const CloudCheck&) const = default;
    };

    struct UpdateStatus {
        struct Available {
            std::string version;
            std::optional<std::string> downloadURL;
            bool operator==(const Available&) const = default;
        };
        struct Required {
            std::string version;
            std::optional<std::string> downloadURL;
            bool operator==(const Required&) const = default;
        };
        struct UpToDate {
            bool operator==(const UpToDate&) const = default;
        };
        // No check has answered yet (a failed one leaves this as it is).
        struct NotChecked {
            bool operator==(const NotChecked&) const = default;
        };
        // Neither a cloud server nor an update feed was given: nothing can tell of a newer version.
        struct NotSetUp {
            bool operator==(const NotSetUp&) const = default;
        };
        std::variant<Available, Required, UpToDate, NotChecked, NotSetUp> value = NotChecked{};

        static UpdateStatus available(std::string version, std::optional<std::string> downloadURL) {
            return {Available{std::move(version), std::move(downloadURL)}};
        }
        static UpdateStatus required(std::string version, std::optional<std::string> downloadURL) {
            return {Required{std::move(version), std::move(downloadURL)}};
        }
        static UpdateStatus upToDate() { return {UpToDate{}}; }
        static UpdateStatus notChecked() { return {NotChecked{}}; }
        static UpdateStatus notSetUp() { return {NotSetUp{}}; }
        // The download address of an available or required version.
        std::optional<std::string> downloadURL() const;
        bool operator==(const UpdateStatus&) const = default;
    };

    // The menu-bar icon: a symbol by name, drawn in the menu bar's own colour (a template) or in a colour.
    struct StatusImage {
        std::string symbolName;
        bool isTemplate = true;
        std::optional<std::string> paletteColor; // "systemRed" while recording
        std::string accessibilityDescription = "Parlindo";
        bool operator==(const StatusImage&) const = default;
    };

    // Builds every service and starts the launch sequence and the background tasks (they begin when the
    // main actor next runs). Stops the process with a fault when the application has no valid cloud address.
    static std::shared_ptr<AppModel> create(AppEnvironment environment, AppServiceFactory& services);
    // Stops the tasks that outlive a command; their last steps end without touching the model.
    ~AppModel();
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    static const System::Log::Logger logger;
    // The line the result log prints for a transcribed dictation.
    static std::string resultLogLine(const TessarinCore::DictationResult& result);

    // The application's version ("0" when the build gave none) and the cloud's base address.
    const std::string& appVersion() const { return appVersion_; }
    const std::string& apiURL() const { return apiURL_; }
    // The application's own files: "Tessarin" in the application-support folder.
    const std::filesystem::path& supportDirectory() const { return supportDirectory_; }

    // Services, fixed after construction.
    const std::shared_ptr<TessarinCore::DictationCoordinator>& coordinator() const { return coordinator_; }
    const std::shared_ptr<HUDModel>& hud() const { return hud_; }
    const std::shared_ptr<TessarinCore::AudioCapturing>& audio() const { return audio_; }
    const TessarinCore::TranscriberRouter& router() const { return router_; }
    const std::shared_ptr<TessarinCore::TextInserting>& inserter() const { return inserter_; }
    const std::shared_ptr<TessarinCloudService>& tessarinCloud() const { return tessarinCloud_; }
    TessarinUpdates::AppUpdater* updater() const { return updater_.get(); }
    const std::shared_ptr<TessarinCore::SecretStore>& secrets() const { return secrets_; }
    const std::shared_ptr<TessarinCore::PermissionsProviding>& permissions() const { return permissions_; }
    const SettingsStore& settingsStore() const { return settingsStore_; }

    // Observed state.
    System::Concurrency::ReadOnlyObserved<HotkeyStatus> hotkeyStatus() {
        return System::Concurrency::ReadOnlyObserved(hotkeyStatus_);
    }
    System::Concurrency::ReadOnlyObserved<std::map<TessarinCore::EngineID, EngineStatus>> engineStatus() {
        return System::Concurrency::ReadOnlyObserved(engineStatus_);
    }
    System::Concurrency::ReadOnlyObserved<std::map<TessarinCore::Permission, TessarinCore::PermissionStatus>>
    permissionStatus() {
        return System::Concurrency::ReadOnlyObserved(permissionStatus_);
    }
    System::Concurrency::ReadOnlyObserved<std::set<TessarinCore::EngineID>> cloudEnginesWithKeys() {
        return System::Concurrency::ReadOnlyObserved(cloudEnginesWithKeys_);
    }
    System::Concurrency::ReadOnlyObserved<std::map<TessarinCore::EngineID, std::string>> cloudKeyHints() {
        return System::Concurrency::ReadOnlyObserved(cloudKeyHints_);
    }
    System::Concurrency::ReadOnlyObserved<std::map<TessarinCore::EngineID, CloudCheck>> cloudChecks() {
        return System::Concurrency::ReadOnlyObserved(cloudChecks_);
    }
    System::Concurrency::ReadOnlyObserved<std::optional<std::string>> supportID() {
        return System::Concurrency::ReadOnlyObserved(supportID_);
    }
    System::Concurrency::ReadOnlyObserved<std::optional<std::int64_t>> cloudMinutesLeft() {
        return System::Concurrency::ReadOnlyObserved(cloudMinutesLeft_);
    }
    System::Concurrency::ReadOnlyObserved<bool> cloudBlocked() {
        return System::Concurrency::ReadOnlyObserved(cloudBlocked_);
    }
    System::Concurrency::ReadOnlyObserved<UpdateStatus> update() {
        return System::Concurrency::ReadOnlyObserved(update_);
    }
    System::Concurrency::ReadOnlyObserved<System::LoginItem::Status> loginItemStatus() {
        return System::Concurrency::ReadOnlyObserved(loginItemStatus_);
    }
    // Why the last change of the settings could not be saved (it applies until the program ends); nothing
    // once a change was saved.
    System::Concurrency::ReadOnlyObserved<std::optional<std::string>> settingsNotSaved() {
        return System::Concurrency::ReadOnlyObserved(settingsNotSaved_);
    }

    // Derived values, computed on every read from the state above and the coordinator's state and settings.
    std::string statusText();
    std::string hotkeyNames();
    bool needsSetup();
    bool isReadyToDictate();
    bool canInstallUpdate();
    std::vector<TessarinCore::Hotkey> unusedHotkeys();
    std::optional<std::string> engineLabel(TessarinCore::DictationLanguage language);
    StatusImage statusImage();
    bool opensAtLogin();

    // Settings, kept in the coordinator; every change is saved.
    const std::vector<TessarinCore::HotkeyBinding>& bindings();
    void setBindings(std::vector<TessarinCore::HotkeyBinding> bindings);
    std::string vocabulary();
    void setVocabulary(std::string vocabulary);
    TessarinCore::InsertionMethod insertionMethod();
    void setInsertionMethod(TessarinCore::InsertionMethod method);
    bool restoresClipboard();
    void setRestoresClipboard(bool restores);
    bool appendsTrailingSpace();
    void setAppendsTrailingSpace(bool appends);

    // Commands. None throws: failures are logged and the state stays as it was.
    System::Concurrency::Task<void> pasteLastTranscript();
    void copyLastTranscript();
    void addHotkey(const TessarinCore::Hotkey& hotkey);
    void removeHotkey(const TessarinCore::Hotkey& hotkey);
    void setOpensAtLogin(bool on);
    // Reads the login item's status again (the settings window does on opening).
    void refreshLoginItemStatus();
    System::Concurrency::Task<void> requestMicrophone();
    // Re-reads the permissions every second and starts the dictation keys once Input Monitoring is granted;
    // runs until its task is cancelled.
    System::Concurrency::Task<void> monitorPermissions();
    System::Concurrency::Task<void> refreshCloudAccount();
    // Starts a new instance of the application and quits once it has started; stays when it could not start.
    void relaunch();
    void revealAppInFinder();
    System::Concurrency::Task<void> checkForUpdates();
    void openDownloadPage();

    // Launch steps the permission monitor uses again.
    System::Concurrency::Task<void> refreshPermissions();
    System::Concurrency::Task<void> startHotkeys(bool requestingPermission);

private:
    AppModel(AppEnvironment environment, AppServiceFactory& services);
    void startTasks();

    System::Concurrency::Task<void> launch();
    void enableOpenAtLoginOnFirstRun();
    bool isTranslocated() const;
    System::Concurrency::Task<void> prepare(TessarinCore::EngineID engine,
                                            std::vector<TessarinCore::DictationLanguage> languages);
    System::Concurrency::Task<void> prepare(std::shared_ptr<TessarinCore::SpeechTranscribing> transcriber,
                                            TessarinCore::DictationLanguage language);
    System::Concurrency::Task<void> prepareTessarinCloud();

    static System::Concurrency::Task<void> logResults(std::weak_ptr<AppModel> weak);
    static System::Concurrency::Task<void> followCloudAccount(std::weak_ptr<AppModel> weak);
    static System::Concurrency::Task<void> checkForUpdatesPeriodically(std::weak_ptr<AppModel> weak);
    // What a check of the update feed answered.
    void feedChecked(const std::optional<TessarinUpdates::AppcastItem>& newer);
    // Sets `update` from the last answers of the cloud server and the update feed, once either answered.
    void combineUpdateAnswers();

    std::string hotkeysWithLanguages();
    template <class Edit>
    void changeSettings(Edit&& edit);
    void setEngineStatus(TessarinCore::EngineID engine, EngineStatus status);

    AppEnvironment environment_;
    std::string appVersion_;
    std::string apiURL_;
    std::filesystem::path supportDirectory_;

    std::shared_ptr<TessarinCore::DictationCoordinator> coordinator_;
    std::shared_ptr<HUDModel> hud_;
    System::Concurrency::Observed<HotkeyStatus> hotkeyStatus_{HotkeyStatus::starting};
    System::Concurrency::Observed<std::map<TessarinCore::EngineID, EngineStatus>> engineStatus_;
    System::Concurrency::Observed<std::map<TessarinCore::Permission, TessarinCore::PermissionStatus>>
        permissionStatus_;
    System::Concurrency::Observed<std::set<TessarinCore::EngineID>> cloudEnginesWithKeys_;
    System::Concurrency::Observed<std::map<TessarinCore::EngineID, std::string>> cloudKeyHints_;
    System::Concurrency::Observed<std::map<TessarinCore::EngineID, CloudCheck>> cloudChecks_;
    System::Concurrency::Observed<std::optional<std::string>> supportID_;
    System::Concurrency::Observed<std::optional<std::int64_t>> cloudMinutesLeft_;
    System::Concurrency::Observed<bool> cloudBlocked_{false};
    System::Concurrency::Observed<UpdateStatus> update_;
    std::optional<UpdateStatus> serverAnswer_;
    std::optional<UpdateStatus> feedAnswer_;
    System::Concurrency::Observed<System::LoginItem::Status> loginItemStatus_{
        System::LoginItem::Status::notRegistered};
    System::Concurrency::Observed<std::optional<std::string>> settingsNotSaved_;
    std::shared_ptr<System::LoginItem::LoginItemService> loginItem_;
    std::shared_ptr<TessarinCore::AudioCapturing> audio_;
    TessarinCore::TranscriberRouter router_;
    std::shared_ptr<TessarinCore::TextInserting> inserter_;
    std::shared_ptr<TessarinCloudService> tessarinCloud_;
    std::unique_ptr<TessarinUpdates::AppUpdater> updater_;
    // OpenAI-compatible engines with the user's key; none is built.
    const std::map<TessarinCore::EngineID, std::shared_ptr<TessarinPlatform::OpenAITranscriber>> cloud_;
    std::shared_ptr<TessarinCore::SecretStore> secrets_;
    std::shared_ptr<TessarinCore::PermissionsProviding> permissions_;
    SettingsStore settingsStore_;

    // The tasks that run for the model's life (and a pending microphone request), stopped with it.
    std::vector<System::Concurrency::TaskHandle<void>> tasks_;
};

} // namespace Parlindo
