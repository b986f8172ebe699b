#include "App/Qt/SetupWindow.h"

#include "WindowTest.h"

#include <QMessageBox>
#include <QTest>

namespace Parlindo::Testing {
namespace {

const QString ellipsis = QString::fromUtf8("\u2026");

class SetupWindowTest : public WindowTest {
protected:
    void closeWindows() override { window.reset(); }

    void open() {
        window = std::make_unique<SetupWindow>(model, executor, std::make_shared<SettingsOpener>(desktop),
                                               pasteboard);
        window->show();
        settle();
    }
    void statuses(std::map<Permission, PermissionStatus> statuses) {
        services.permissions->statuses = std::move(statuses);
        // The monitor reads them again within a second.
        executor.advance(ms(1000));
        settle();
    }

    std::unique_ptr<SetupWindow> window;
};

TEST_F(SetupWindowTest, BeforeThePermissionsAreReadEveryRowIsMissingWithoutReadyOrStaleGrantHelp) {
    build();
    // Nothing has run yet: the launch has not read a permission.
    window =
        std::make_unique<SetupWindow>(model, executor, std::make_shared<SettingsOpener>(desktop), pasteboard);
    window->show();
    for (PermissionRow* row :
         {&window->microphoneRow(), &window->inputMonitoringRow(), &window->accessibilityRow()}) {
        EXPECT_FALSE(row->isGranted());
        EXPECT_EQ(row->accessibleDescription(), "Not working");
        EXPECT_FALSE(row->actionButton().isHidden());
    }
    EXPECT_EQ(window->microphoneRow().titleLabel().text(), "Microphone");
    EXPECT_EQ(window->inputMonitoringRow().titleLabel().text(), "Dictation Keys");
    EXPECT_EQ(window->accessibilityRow().titleLabel().text(), "Pasting and Typing");
    for (PermissionRow* row :
         {&window->microphoneRow(), &window->inputMonitoringRow(), &window->accessibilityRow()}) {
        EXPECT_EQ(row->actionButton().text(), "How to Fix" + ellipsis);
    }
    EXPECT_EQ(window->inputMonitoringRow().detailLabel().text(),
              "Detects when you hold Menu key or Right Alt, through the X display's XInput2 extension.");
    EXPECT_TRUE(window->accessibilityRow().detailLabel().text().startsWith("Pastes the text into the app"));
    EXPECT_TRUE(window->readyLabel().isHidden());
    EXPECT_TRUE(window->staleGrantHelp().isHidden());
    EXPECT_TRUE(window->accessibilityHelp().isHidden());
    EXPECT_TRUE(window->clipboardNote().isHidden());
}

TEST_F(SetupWindowTest, AnUndecidedMicrophoneOffersAllowWhichAsksForIt) {
    notFirstRun();
    launch();
    open();
    ASSERT_EQ(window->microphoneRow().actionButton().text(), "Allow" + ellipsis);
    services.permissions->answers[Permission::microphone] = PermissionStatus::granted;
    const std::size_t asked = services.permissions->requests.size();
    window->microphoneRow().actionButton().click();
    settle();
    EXPECT_EQ(services.permissions->requests.size(), asked + 1);
    EXPECT_EQ(services.permissions->requests.back(), Permission::microphone);
    EXPECT_TRUE(window->microphoneRow().isGranted());
    EXPECT_TRUE(window->microphoneRow().actionButton().isHidden());
}

TEST_F(SetupWindowTest, EverythingGrantedShowsThreeGreenRowsAndTheReadyLineAndStaysOpen) {
    launchReady();
    open();
    for (PermissionRow* row :
         {&window->microphoneRow(), &window->inputMonitoringRow(), &window->accessibilityRow()}) {
        EXPECT_TRUE(row->isGranted());
        EXPECT_EQ(row->accessibleDescription(), "Working");
        EXPECT_TRUE(row->actionButton().isHidden());
    }
    EXPECT_FALSE(window->readyLabel().isHidden());
    EXPECT_EQ(window->readyText().text(), "All set. Hold Menu key or Right Alt and speak.");
    EXPECT_TRUE(window->staleGrantHelp().isHidden());
    EXPECT_TRUE(window->isVisible());
}

TEST_F(SetupWindowTest, DeniedAccessibilityShowsTheHelpAndARelaunchIsOfferedOnceItWaitsForOne) {
    notFirstRun();
    services.permissions->statuses = {{Permission::microphone, PermissionStatus::granted},
                                      {Permission::inputMonitoring, PermissionStatus::granted},
                                      {Permission::postEvents, PermissionStatus::denied}};
    launch();
    open();
    EXPECT_FALSE(window->accessibilityHelp().isHidden());
    EXPECT_EQ(window->accessibilityRow().actionButton().text(), "How to Fix" + ellipsis);
    auto* reveal = window->accessibilityHelp().findChild<QPushButton*>("revealButton");
    ASSERT_NE(reveal, nullptr);
    EXPECT_EQ(reveal->text(), "Show Parlindo in the File Manager");
    reveal->click();
    EXPECT_EQ(desktop->revealed.size(), 1u);

    statuses({{Permission::microphone, PermissionStatus::granted},
              {Permission::inputMonitoring, PermissionStatus::granted},
              {Permission::postEvents, PermissionStatus::grantedAfterRelaunch}});
    EXPECT_TRUE(window->accessibilityHelp().isHidden());
    EXPECT_EQ(window->accessibilityRow().detailLabel().text(),
              "Switched on. It applies after Parlindo relaunches.");
    EXPECT_EQ(window->accessibilityRow().actionButton().text(), "Relaunch Parlindo");
    window->accessibilityRow().actionButton().click();
    settle();
    EXPECT_EQ(desktop->launched.size(), 1u);
}

TEST_F(SetupWindowTest, InputMonitoringGrantedWhileOpenTurnsTheRowGreenWithinASecond) {
    notFirstRun();
    services.permissions->statuses = {{Permission::microphone, PermissionStatus::granted},
                                      {Permission::postEvents, PermissionStatus::granted}};
    launch();
    open();
    ASSERT_TRUE(window->isMonitoring());
    EXPECT_FALSE(window->inputMonitoringRow().isGranted());
    EXPECT_FALSE(window->staleGrantHelp().isHidden());
    EXPECT_TRUE(window->readyLabel().isHidden());

    statuses({{Permission::microphone, PermissionStatus::granted},
              {Permission::inputMonitoring, PermissionStatus::granted},
              {Permission::postEvents, PermissionStatus::granted}});
    EXPECT_TRUE(window->inputMonitoringRow().isGranted());
    EXPECT_TRUE(window->staleGrantHelp().isHidden());
    EXPECT_FALSE(window->readyLabel().isHidden());

    // Closing the window stops the monitor.
    window->doneButton().click();
    settle();
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->isMonitoring());
    const int reads = services.permissions->reading.calls();
    executor.advance(ms(3000));
    EXPECT_EQ(services.permissions->reading.calls(), reads);
}

TEST_F(SetupWindowTest, ReturnTriggersDoneAndTheMenuKeyButtonExplainsTheMenuKey) {
    launchReady();
    open();
    EXPECT_TRUE(window->doneButton().isDefault());
    EXPECT_EQ(window->keyboardSettingsButton().text(), "About the Menu Key" + ellipsis);
    window->keyboardSettingsButton().click();
    auto* help = window->findChild<QMessageBox*>();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->text().contains("Menu key"));
    help->close();
    settle();
    QTest::keyClick(window.get(), Qt::Key_Return);
    settle();
    EXPECT_FALSE(window->isVisible());
}

// The header counts the rows below it, and the Menu key's note says what the program does with the key: it
// withholds the key from other applications, so none of them opens a context menu with it.
TEST_F(SetupWindowTest, TheTextsCountTheRowsAndSayTheMenuKeyReachesNoOtherApp) {
    launchReady();
    open();
    const QStringList texts = labelTexts(*window);
    EXPECT_TRUE(texts.contains("Hold the dictation key, speak, and release. Parlindo needs three things from "
                               "this desktop for that."))
        << texts.join("\n").toStdString();
    EXPECT_TRUE(texts.contains(
        "PC keyboards don't report fn, so Parlindo listens to the <b>Menu key</b> in its place. While it is "
        "a "
        "dictation key, Parlindo keeps it from other apps, so it opens no context menu there."))
        << texts.join("\n").toStdString();
    EXPECT_EQ(
        SettingsOpener::helpFor(std::string(SettingsOpener::keyboardSettingsURL)),
        "PC keyboards don't report the fn key to the system, so Parlindo listens to the Menu key in its "
        "place, and keeps it from other applications while it is a dictation key. To have the Menu key "
        "open context menus again, remove it in Parlindo's settings.");
}

TEST_F(SetupWindowTest, TheWindowIsAlways480WideAndAsHighAsItsContent) {
    notFirstRun();
    launch();
    open();
    const std::vector<std::map<Permission, PermissionStatus>> states{
        {{Permission::microphone, PermissionStatus::granted},
         {Permission::inputMonitoring, PermissionStatus::granted},
         {Permission::postEvents, PermissionStatus::granted}},
        {{Permission::microphone, PermissionStatus::granted},
         {Permission::inputMonitoring, PermissionStatus::granted},
         {Permission::postEvents, PermissionStatus::denied}},
        {{Permission::microphone, PermissionStatus::denied}},
    };
    for (const auto& state : states) {
        statuses(state);
        // Input Monitoring granted while open: the keys listen at the next poll.
        statuses(state);
        EXPECT_EQ(window->width(), 480) << state.size();
        EXPECT_EQ(window->height(), window->heightForWidth(480)) << state.size();
        EXPECT_LE(window->doneButton().geometry().bottom(), window->height()) << state.size();
    }
}

TEST_F(SetupWindowTest, TheClipboardNoteShowsWhenReadingTheClipboardIsNotAllowed) {
    pasteboard->setAccessBehavior(System::Pasteboard::AccessBehavior::ask);
    launchReady();
    open();
    EXPECT_FALSE(window->clipboardNote().isHidden());
}

// Every row missing, both help boxes and the clipboard note: no text sends the user to a settings page or a
// permission this desktop doesn't have, and the help of each row names what it checks and where it works.
TEST_F(SetupWindowTest, EveryTextSaysWhatToDoOnThisDesktop) {
    notFirstRun();
    pasteboard->setAccessBehavior(System::Pasteboard::AccessBehavior::alwaysDeny);
    services.permissions->statuses = {{Permission::microphone, PermissionStatus::denied},
                                      {Permission::postEvents, PermissionStatus::denied}};
    launch();
    open();
    ASSERT_FALSE(window->staleGrantHelp().isHidden());
    ASSERT_FALSE(window->accessibilityHelp().isHidden());
    ASSERT_FALSE(window->clipboardNote().isHidden());

    const QString keysHelp = SettingsOpener::helpFor("parlindo-settings:privacy?Privacy_ListenEvent");
    const QString pasteHelp = SettingsOpener::helpFor("parlindo-settings:privacy?Privacy_Accessibility");
    QStringList texts = labelTexts(*window);
    for (const QPushButton* button : window->findChildren<QPushButton*>()) {
        texts.append(button->text());
    }
    texts << keysHelp << pasteHelp << SettingsOpener::helpFor("parlindo-settings:privacy?Privacy_Microphone")
          << SettingsOpener::helpFor(std::string(SettingsOpener::keyboardSettingsURL));
    for (const QString& text : texts) {
        for (const char* elsewhere :
             {"Privacy & Security", "System Settings", "Open Settings", "Accessibility", "Input Monitoring",
              "Login Items", "Finder", "macOS", "permission"}) {
            EXPECT_FALSE(text.contains(QString::fromUtf8(elsewhere), Qt::CaseInsensitive))
                << elsewhere << " in: " << text.toStdString();
        }
    }
    EXPECT_TRUE(keysHelp.contains("XInput2")) << keysHelp.toStdString();
    EXPECT_TRUE(pasteHelp.contains("XTest")) << pasteHelp.toStdString();
    for (const QString& help : {keysHelp, pasteHelp}) {
        EXPECT_TRUE(help.contains("X11 session") && help.contains("XWayland")) << help.toStdString();
    }
}

TEST(SettingsOpenerTest, ThePermissionAddressesHaveHelpAndOtherAddressesGoToTheDesktop) {
    for (const char* address :
         {"parlindo-settings:privacy?Privacy_Microphone", "parlindo-settings:privacy?Privacy_ListenEvent",
          "parlindo-settings:privacy?Privacy_Accessibility"}) {
        EXPECT_FALSE(SettingsOpener::helpFor(address).isEmpty()) << address;
    }
    EXPECT_NE(SettingsOpener::helpFor("parlindo-settings:privacy?Privacy_Microphone"),
              SettingsOpener::helpFor("parlindo-settings:privacy?Privacy_Accessibility"));
    auto desktop = std::make_shared<FakeDesktop>();
    SettingsOpener(desktop).open("https://parlindo.invalid/help", nullptr);
    EXPECT_EQ(desktop->opened, std::vector<std::string>{"https://parlindo.invalid/help"});
}

} // namespace
} // namespace Parlindo::Testing
