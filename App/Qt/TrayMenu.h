#pragma once

#include "App/AppModel.h"
#include "App/Qt/ModelObserver.h"

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace Parlindo {

// The application's icon in the desktop's tray and the menu that drops down from it: the status, a preview
// of the last transcript, a language picker per dictation key, and the commands for setup, settings,
// updates, re-using the last transcript and quitting. Rebuilt from the model whenever the model changes.
class TrayMenu {
public:
    // What the menu asks of the application around it.
    struct Host {
        std::function<void()> openSetup;    // opens the setup window and brings it to the front
        std::function<void()> openSettings; // opens the settings window and brings it to the front
        std::function<void()> quit;
    };

    TrayMenu(std::shared_ptr<AppModel> model, System::Concurrency::Executor& mainActor, Host host);
    ~TrayMenu();
    TrayMenu(const TrayMenu&) = delete;
    TrayMenu& operator=(const TrayMenu&) = delete;

    QMenu& menu() { return *menu_; }
    QSystemTrayIcon& trayIcon() { return *trayIcon_; }
    // Builds the items and the icon again from the model now.
    void rebuild();

    // The update item's title for an available or required version; nothing when up to date.
    static std::optional<QString> menuTitle(const AppModel::UpdateStatus& update);
    // The last transcript in curly quotation marks, cut after 60 characters with "…".
    static QString transcriptPreview(const std::string& text);
    // The menu-bar symbol drawn for the tray: in the menu text's colour, or red while recording.
    static QIcon icon(const AppModel::StatusImage& image);

private:
    void addKeyPickers();

    std::shared_ptr<AppModel> model_;
    System::Concurrency::Executor& mainActor_;
    Host host_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    std::unique_ptr<ModelObserver> observer_;
};

} // namespace Parlindo
