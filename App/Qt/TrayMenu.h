#pragma once

#include "App/AppModel.h"
#include "App/Qt/ModelObserver.h"

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Parlindo {

// The application's icon in the desktop's tray and the menu that drops down from it: the status, a preview
// of the last transcript, a language picker per dictation key, and the commands for setup, settings,
// updates, re-using the last transcript and quitting. Its items are made once and brought up to date whenever
// the model changes, so an open menu keeps the item under the pointer and nothing is left behind; only the
// key pickers are made again, when the dictation keys themselves change.
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
    // Brings the items and the icon up to date with the model now.
    void rebuild();

    // The update item's title for an available or required version; nothing when up to date.
    static std::optional<QString> menuTitle(const AppModel::UpdateStatus& update);
    // The last transcript in curly quotation marks, cut after 60 characters with "…".
    static QString transcriptPreview(const std::string& text);
    // The menu-bar symbol drawn for the tray: in the menu text's colour, or red while recording.
    static QIcon icon(const AppModel::StatusImage& image);
    // A text as a menu item shows it: Qt takes "&" as the mark of a keyboard mnemonic, so it is doubled.
    static QString itemText(const QString& text);

private:
    // Makes every item once, in the menu's order.
    void build();
    QAction* addItem(const char* name, const QString& text = {});
    void updateKeyPickers();
    // The picker of one binding: its submenu, with an option per language.
    struct KeyPicker {
        std::uint16_t keyCode = 0;
        QMenu* menu = nullptr;
        std::vector<QAction*> options; // one per language, in their order
    };
    KeyPicker makeKeyPicker(std::uint16_t keyCode);

    std::shared_ptr<AppModel> model_;
    System::Concurrency::Executor& mainActor_;
    Host host_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    std::unique_ptr<ModelObserver> observer_;

    QAction* update_ = nullptr;
    QAction* updateSeparator_ = nullptr;
    QAction* status_ = nullptr;
    QAction* preview_ = nullptr;
    QAction* keysEnd_ = nullptr; // the pickers go before it
    QAction* setup_ = nullptr;
    QAction* check_ = nullptr;
    QAction* paste_ = nullptr;
    QAction* copy_ = nullptr;
    std::vector<KeyPicker> pickers_;
};

} // namespace Parlindo
