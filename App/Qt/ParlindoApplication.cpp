#include "App/Qt/ParlindoApplication.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTimer>

#include <cstdlib>

namespace Parlindo {

// What the model asks of the application as a whole.
class ParlindoApplication::Control final : public ApplicationControl {
public:
    void activate() override {
        if (application) {
            application->activate();
        }
    }
    void terminate() override {
        // From the event loop, so a command that ends the program still returns first.
        QTimer::singleShot(0, qApp, [] { QCoreApplication::quit(); });
    }

    ParlindoApplication* application = nullptr;
};

ParlindoApplication::ParlindoApplication(System::Concurrency::Executor& mainActor,
                                         ApplicationSurroundings surroundings, AppServiceFactory& services)
    : mainActor_(mainActor)
    , surroundings_(std::move(surroundings))
    , control_(std::make_shared<Control>())
    , opener_(std::make_shared<SettingsOpener>(surroundings_.desktop))
    , context_(std::make_unique<QObject>()) {
    control_->application = this;
    model_ = AppModel::create(AppEnvironment{mainActor_, surroundings_.bundle, surroundings_.defaults,
                                             surroundings_.applicationSupportDirectory, surroundings_.desktop,
                                             control_, surroundings_.pasteboard, qtPanelFactory(),
                                             surroundings_.standardOutput},
                              services);
}

ParlindoApplication::~ParlindoApplication() {
    control_->application = nullptr;
    observer_.reset();
    tray_.reset();
    settings_.reset();
    setup_.reset();
}

void ParlindoApplication::start(bool trayAvailable) {
    if (trayAvailable) {
        tray_ = std::make_unique<TrayMenu>(model_, mainActor_,
                                           TrayMenu::Host{[this] { openSetup(); }, [this] { openSettings(); },
                                                          [this] { control_->terminate(); }});
        tray_->trayIcon().show();
        QApplication::setQuitOnLastWindowClosed(false);
    } else {
        QApplication::setQuitOnLastWindowClosed(true);
        if (model_->needsSetup()) {
            openSetup();
        } else {
            openSettings();
        }
    }
    followNeedsSetup();
}

void ParlindoApplication::followNeedsSetup() {
    auto check = [this] {
        const bool needed = model_->needsSetup();
        if (needed && !neededSetup_) {
            openSetup();
        }
        neededSetup_ = needed;
    };
    observer_ = std::make_unique<ModelObserver>(*model_, context_.get(), check);
    check();
}

void ParlindoApplication::openSetup() {
    if (!setup_) {
        setup_ = std::make_unique<SetupWindow>(model_, mainActor_, opener_, surroundings_.pasteboard);
    }
    bringToFront(*setup_);
}

void ParlindoApplication::openSettings() {
    if (!settings_) {
        settings_ = std::make_unique<SettingsWindow>(model_, mainActor_, opener_, surroundings_.pasteboard,
                                                     surroundings_.desktop);
    }
    bringToFront(*settings_);
}

void ParlindoApplication::activate() {
    for (QWidget* window : {static_cast<QWidget*>(setup_.get()), static_cast<QWidget*>(settings_.get())}) {
        if (window && window->isVisible()) {
            bringToFront(*window);
        }
    }
}

void ParlindoApplication::bringToFront(QWidget& window) {
    window.show();
    window.raise();
    window.activateWindow();
}

namespace {

constexpr std::pair<const char*, std::string_view> addressVariables[]{
    {"PARLINDO_API_URL", System::Bundle::apiURLKey},
    {"PARLINDO_APPCAST_URL", System::Bundle::appcastURLKey},
};

} // namespace

std::vector<std::pair<std::string, std::string>> ParlindoApplication::addressesGivenAtStart() {
    std::vector<std::pair<std::string, std::string>> given;
    for (const auto& [variable, key] : addressVariables) {
        if (const char* value = std::getenv(variable); value && *value) {
            given.emplace_back(variable, value);
        }
    }
    return given;
}

System::Bundle::Bundle
ParlindoApplication::withAddressesFromEnvironment(const System::Bundle::Bundle& built) {
    System::Bundle::Bundle::InfoDictionary info = built.infoDictionary();
    for (const auto& [variable, key] : addressVariables) {
        if (const char* value = std::getenv(variable); value && *value) {
            info[std::string(key)] = value;
        }
    }
    return System::Bundle::Bundle(std::move(info), built.executablePath());
}

} // namespace Parlindo
