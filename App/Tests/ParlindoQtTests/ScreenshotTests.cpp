// Pictures of the windows for a person to look at, saved under <build>/screenshots: the settings window's
// two tabs, the setup window and the tray menu, in the states a user meets first.
#include "App/Qt/SettingsWindow.h"
#include "App/Qt/SetupWindow.h"
#include "App/Qt/TrayMenu.h"

#include "WindowTest.h"

#include <QDir>
#include <QPixmap>

namespace Parlindo::Testing {
namespace {

class ScreenshotTest : public WindowTest {
protected:
    void closeWindows() override {
        settings.reset();
        setup.reset();
        tray.reset();
    }

    static void save(QWidget& widget, const QString& name) {
        QDir().mkpath(QStringLiteral(PARLINDO_SCREENSHOTS));
        const QPixmap picture = widget.grab();
        ASSERT_FALSE(picture.isNull()) << name.toStdString();
        ASSERT_TRUE(picture.save(QStringLiteral(PARLINDO_SCREENSHOTS "/") + name)) << name.toStdString();
    }

    std::unique_ptr<SettingsWindow> settings;
    std::unique_ptr<SetupWindow> setup;
    std::unique_ptr<TrayMenu> tray;
};

TEST_F(ScreenshotTest, SavesTheSettingsSetupAndTrayMenuPictures) {
    notFirstRun();
    services.cloud->storedSupportID = "3F2A-91C0-77DE";
    services.permissions->statuses = {{Permission::microphone, PermissionStatus::granted},
                                      {Permission::inputMonitoring, PermissionStatus::granted},
                                      {Permission::postEvents, PermissionStatus::denied}};
    launch();
    model->setVocabulary("Android Studio, Cursor\nmacOS");
    services.appleSpeech->text = "Meet me at the station at half past five.";
    dictate();
    settle();

    auto opener = std::make_shared<SettingsOpener>(desktop);
    settings = std::make_unique<SettingsWindow>(model, executor, opener, pasteboard, desktop);
    settings->show();
    settle();
    save(*settings, "settings-general.png");
    settings->tabs().setCurrentIndex(1);
    settle();
    save(*settings, "settings-about.png");

    setup = std::make_unique<SetupWindow>(model, executor, opener, pasteboard);
    setup->show();
    settle();
    save(*setup, "setup.png");

    tray = std::make_unique<TrayMenu>(model, executor, TrayMenu::Host{[] {}, [] {}, [] {}});
    settle();
    tray->menu().popup(QPoint(0, 0));
    settle();
    save(tray->menu(), "tray-menu.png");
    tray->menu().hide();
}

} // namespace
} // namespace Parlindo::Testing
