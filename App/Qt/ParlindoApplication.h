#pragma once

#include "App/AppModel.h"
#include "App/AppServiceFactory.h"
#include "App/Qt/HUDWindow.h"
#include "App/Qt/ModelObserver.h"
#include "App/Qt/SettingsWindow.h"
#include "App/Qt/SetupWindow.h"
#include "App/Qt/TrayMenu.h"
#include "App/Qt/WidgetSupport.h"
#include "System/Bundle/Bundle.h"

#include <QObject>

#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

namespace Parlindo {

// What the application runs in, besides its services.
struct ApplicationSurroundings {
    const System::Bundle::Bundle& bundle;
    std::shared_ptr<System::Defaults::UserDefaults> defaults;
    std::filesystem::path applicationSupportDirectory;
    std::shared_ptr<DesktopServices> desktop;
    std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard;
    std::function<void(std::string_view line)> standardOutput;
};

// The application as the user meets it: the one application model, the tray icon with its menu, and the
// settings and setup windows, made when first opened and kept. The setup window opens by itself whenever
// setup becomes needed. Where the desktop has no tray, the settings window (or the setup window, when setup
// is needed) opens at start instead, and closing the last window ends the program. Lives on the main actor.
class ParlindoApplication {
public:
    ParlindoApplication(System::Concurrency::Executor& mainActor, ApplicationSurroundings surroundings,
                        AppServiceFactory& services);
    ~ParlindoApplication();
    ParlindoApplication(const ParlindoApplication&) = delete;
    ParlindoApplication& operator=(const ParlindoApplication&) = delete;

    // Shows the tray icon, or a window where there is no tray.
    void start(bool trayAvailable);

    void openSetup();
    void openSettings();
    // Brings the open windows to the front.
    void activate();

    AppModel& model() { return *model_; }
    TrayMenu* tray() { return tray_.get(); }
    SettingsWindow* settingsWindow() { return settings_.get(); }
    SetupWindow* setupWindow() { return setup_.get(); }

    // The bundle with the cloud and update addresses taken from PARLINDO_API_URL and PARLINDO_APPCAST_URL
    // where they are set (for testing against a local stand-in of the service).
    static System::Bundle::Bundle withAddressesFromEnvironment(const System::Bundle::Bundle& built);
    // Those of PARLINDO_API_URL and PARLINDO_APPCAST_URL that are set and not empty, with their values.
    static std::vector<std::pair<std::string, std::string>> addressesGivenAtStart();

private:
    class Control;

    void followNeedsSetup();
    static void bringToFront(QWidget& window);

    System::Concurrency::Executor& mainActor_;
    ApplicationSurroundings surroundings_;
    std::shared_ptr<Control> control_;
    std::shared_ptr<SettingsOpener> opener_;
    std::shared_ptr<AppModel> model_;
    std::unique_ptr<QObject> context_;
    std::unique_ptr<ModelObserver> observer_;
    bool neededSetup_ = false;
    std::unique_ptr<TrayMenu> tray_;
    std::unique_ptr<SettingsWindow> settings_;
    std::unique_ptr<SetupWindow> setup_;
};

} // namespace Parlindo
