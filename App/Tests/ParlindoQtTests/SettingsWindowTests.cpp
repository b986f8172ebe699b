#include "App/Qt/SettingsWindow.h"

#include "System/Tests/FileTesting/FileTesting.h"
#include "WindowTest.h"

#include <QTest>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace Parlindo::Testing {
namespace {

class SettingsWindowTest : public WindowTest {
protected:
    void closeWindows() override { window.reset(); }

    void open() {
        window = std::make_unique<SettingsWindow>(model, executor, std::make_shared<SettingsOpener>(desktop),
                                                  pasteboard, desktop);
        window->show();
        settle();
    }
    // Launches ready and shows the About tab.
    void openAbout() {
        launchReady();
        open();
        window->tabs().setCurrentIndex(1);
        settle();
    }
    GeneralSettingsView& general() { return window->general(); }
    AboutSettingsView& about() { return window->about(); }
    QStringList keys() {
        QStringList texts;
        for (HotkeyBindingRow* row : general().rows()) {
            texts.append(row->keyPicker().currentText() + " " + row->languagePicker().currentText());
        }
        return texts;
    }

    std::unique_ptr<SettingsWindow> window;
};

TEST_F(SettingsWindowTest, TheWindowHasAGeneralAndAnAboutTab) {
    launchReady();
    open();
    ASSERT_EQ(window->tabs().count(), 2);
    EXPECT_EQ(window->tabs().tabText(0), "General");
    EXPECT_EQ(window->tabs().tabText(1), "About");
    EXPECT_EQ(window->width(), 520);
}

TEST_F(SettingsWindowTest, EachBindingIsARowWithItsKeyEngineAndLanguage) {
    launchReady();
    open();
    EXPECT_EQ(keys(), (QStringList{"Menu key English", QString::fromUtf8("Right Alt Arabic (العربية)")}));
    HotkeyBindingRow& fn = *general().rows()[0];
    ASSERT_NE(fn.engineLabel(), nullptr);
    EXPECT_EQ(fn.engineLabel()->text(), "On this computer");
    EXPECT_EQ(general().rows()[1]->engineLabel()->text(), "Parlindo Cloud");
    // The key picker offers the row's own key, then the unbound ones.
    QStringList offered;
    for (int i = 0; i < fn.keyPicker().count(); ++i) {
        offered.append(fn.keyPicker().itemText(i));
    }
    EXPECT_EQ(offered, (QStringList{"Menu key", "Right Super", "Right Ctrl", "Right Shift"}));
    EXPECT_EQ(fn.languagePicker().count(), 3);
    EXPECT_EQ(fn.removeButton().toolTip(), "Remove Menu key");
    EXPECT_EQ(fn.removeButton().accessibleName(), "Remove Menu key");
    EXPECT_TRUE(fn.removeButton().isEnabled());
    EXPECT_FALSE(general().fnFooter().isHidden());
}

// The Menu key is withheld from other applications while it is bound: a shortcut with it never reaches them,
// and no context menu opens. Only the modifier keys still work in shortcuts.
TEST_F(SettingsWindowTest, TheKeysFootersSayWhatTheProgramDoesWithTheMenuKey) {
    launchReady();
    open();
    EXPECT_TRUE(labelTexts(*window).contains(
        "Pressing another key while holding cancels the dictation, so shortcuts with the right Alt, Super, "
        "Ctrl or Shift key still work."))
        << labelTexts(*window).join("\n").toStdString();
    EXPECT_EQ(
        general().fnFooter().text(),
        "Using the <b>Menu key</b>: while it is a dictation key, Parlindo keeps it from other apps, so it "
        "opens no context menu and no shortcut with it reaches them.");
}

// A change that can't be saved still applies; the window, where the change was made, says that the next start
// won't have it and why, until a later change is saved.
TEST_F(SettingsWindowTest, AChangeThatCannotBeSavedIsShownAboveTheSettings) {
    System::FileTesting::TemporaryFolder folder("settings-not-saved");
    defaults = std::make_shared<System::Defaults::UserDefaults>(folder / "parlindo" / "defaults.json");
    launchReady();
    open();
    EXPECT_TRUE(general().notSavedNote().isHidden());
    // A file where the settings folder belongs: no one, not even root, can save there.
    std::filesystem::remove_all(folder / "parlindo");
    System::FileTesting::writeFile(folder / "parlindo", "in the way");

    general().trailingSpaceToggle().click();
    settle();
    EXPECT_FALSE(model->appendsTrailingSpace());
    EXPECT_FALSE(general().notSavedNote().isHidden());
    const QString note = general().notSavedNote().text();
    EXPECT_TRUE(
        note.startsWith("Your changes apply until Parlindo quits, but they can't be saved, so the next "
                        "start won't have them: Parlindo couldn't save its settings: "))
        << note.toStdString();
    EXPECT_TRUE(note.contains(QString::fromStdString((folder / "parlindo").string()))) << note.toStdString();

    std::filesystem::remove(folder / "parlindo");
    general().trailingSpaceToggle().click();
    settle();
    EXPECT_TRUE(general().notSavedNote().isHidden());
    EXPECT_TRUE(std::filesystem::exists(folder / "parlindo" / "defaults.json"));
}

TEST_F(SettingsWindowTest, EditingARowWritesTheBindingAndSavesIt) {
    launchReady();
    open();
    general().rows()[1]->keyPicker().activated(2); // Right Ctrl in place of Right Alt
    settle();
    general().rows()[0]->languagePicker().activated(0); // fn dictates in any language
    settle();
    const std::vector<HotkeyBinding> expected{{Hotkey::function(), DictationLanguage::automatic},
                                              {Hotkey::rightControl(), DictationLanguage::arabic}};
    EXPECT_EQ(model->bindings(), expected);
    EXPECT_EQ(SettingsStore("dictationSettings", defaults).load().bindings(), expected);
    EXPECT_EQ(keys(),
              (QStringList{"Menu key Auto-detect", QString::fromUtf8("Right Ctrl Arabic (العربية)")}));
}

TEST_F(SettingsWindowTest, AddingAndRemovingKeysFollowsTheBindingCount) {
    launchReady();
    open();
    QMenu& add = *general().addKeyButton().menu();
    ASSERT_EQ(itemTexts(add), (std::vector<QString>{"Right Super", "Right Ctrl", "Right Shift"}));
    add.actions()[2]->trigger();
    settle();
    ASSERT_EQ(general().rows().size(), 3u);
    EXPECT_EQ(keys().last(), "Right Shift Auto-detect");
    EXPECT_EQ(itemTexts(*general().addKeyButton().menu()).size(), 2u);

    general().rows()[0]->removeButton().click();
    settle();
    general().rows()[0]->removeButton().click();
    settle();
    ASSERT_EQ(general().rows().size(), 1u);
    EXPECT_EQ(keys(), QStringList{"Right Shift Auto-detect"});
    EXPECT_FALSE(general().rows()[0]->removeButton().isEnabled());
    // No binding on fn: the footer's third line goes.
    EXPECT_TRUE(general().fnFooter().isHidden());

    for (const char* key : {"Menu key", "Right Alt", "Right Super", "Right Ctrl"}) {
        (void)key;
        general().addKeyButton().menu()->actions()[0]->trigger();
        settle();
    }
    EXPECT_EQ(general().rows().size(), 5u);
    EXPECT_FALSE(general().addKeyButton().isEnabled());
    EXPECT_EQ(general().rows()[0]->keyPicker().count(), 1);
}

TEST_F(SettingsWindowTest, KeywordsAreSavedWhileTypingAndShownAsTheyWillBeSent) {
    launchReady();
    open();
    EXPECT_TRUE(general().recognizedRow().isHidden());
    EXPECT_EQ(general().keywordsField().placeholderText(), "Android Studio, Cursor, Linux");
    general().keywordsField().setFocus();
    for (const char* typed : {" Android Studio ,", "\u060C", " Cursor", "\n", "\n macOS "}) {
        general().keywordsField().insertPlainText(QString::fromUtf8(typed));
    }
    settle();
    EXPECT_EQ(model->vocabulary(), " Android Studio ,\u060C Cursor\n\n macOS ");
    EXPECT_EQ(SettingsStore("dictationSettings", defaults).load().vocabularyPrompt,
              " Android Studio ,\u060C Cursor\n\n macOS ");
    EXPECT_FALSE(general().recognizedRow().isHidden());
    EXPECT_EQ(general().recognizedLabel().text(), QString::fromUtf8("Android Studio · Cursor · macOS"));

    general().keywordsField().clear();
    settle();
    EXPECT_EQ(model->vocabulary(), "");
    EXPECT_TRUE(general().recognizedRow().isHidden());
}

TEST_F(SettingsWindowTest, TheKeywordsFieldIsAsHighAsItsLinesFromTwoToFour) {
    launchReady();
    model->setVocabulary("Android Studio\nCursor\nKotlin\nGradle");
    open();
    QPlainTextEdit& field = general().keywordsField();
    const int stored = field.height();

    field.clear();
    settle();
    const int empty = field.height();
    field.insertPlainText("Android Studio\nCursor\nKotlin\nGradle");
    settle();
    const int typed = field.height();
    EXPECT_GT(typed, empty);
    EXPECT_EQ(stored, typed);

    // Text that arrives from elsewhere while the window is open; beyond four lines the field scrolls.
    model->setVocabulary("one\ntwo\nthree\nfour\nfive\nsix");
    settle();
    EXPECT_EQ(field.height(), typed);
    model->setVocabulary("one");
    settle();
    EXPECT_EQ(field.height(), empty);
}

TEST_F(SettingsWindowTest, TheInsertingAndStartupControlsWriteTheModel) {
    launchReady();
    open();
    QComboBox& method = general().insertionPicker();
    ASSERT_EQ(method.count(), 2);
    EXPECT_EQ(method.itemText(0), "Pasting (Ctrl+V)");
    EXPECT_EQ(method.itemText(1), "Typing");
    EXPECT_EQ(method.currentIndex(), 0);
    method.activated(1);
    settle();
    EXPECT_EQ(model->insertionMethod(), InsertionMethod::type);
    // Typing leaves the clipboard toggle enabled.
    EXPECT_TRUE(general().restoreClipboardToggle().isEnabled());
    EXPECT_TRUE(general().restoreClipboardToggle().isChecked());
    general().restoreClipboardToggle().click();
    general().trailingSpaceToggle().click();
    settle();
    EXPECT_FALSE(model->restoresClipboard());
    EXPECT_FALSE(model->appendsTrailingSpace());

    EXPECT_FALSE(general().openAtLoginToggle().isChecked());
    EXPECT_TRUE(general().loginApprovalRow().isHidden());
    services.loginItem->registrationNeedsApproval = true;
    general().openAtLoginToggle().click();
    settle();
    EXPECT_TRUE(general().openAtLoginToggle().isChecked());
    EXPECT_FALSE(general().loginApprovalRow().isHidden());
}

// Sets an environment variable for as long as it lives.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value)
        : name_(name) {
        if (const char* old = std::getenv(name)) {
            saved_ = old;
        }
        setenv(name, value, 1);
    }
    ~ScopedVariable() {
        if (saved_) {
            setenv(name_, saved_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

// A relative XDG_CONFIG_HOME counts as unset, for the entry as for any other file of the XDG base
// directories: the button opens the folder the entry is in.
TEST_F(SettingsWindowTest, TheApprovalRowOpensTheAutostartFolderTheEntryIsIn) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    const ScopedVariable configHome("XDG_CONFIG_HOME", "relative/config");
    services.loginItem->registrationNeedsApproval = true;
    launchReady();
    open();
    general().openAtLoginToggle().click();
    settle();
    ASSERT_FALSE(general().loginApprovalRow().isHidden());
    auto* button = general().loginApprovalRow().findChild<QPushButton*>("openLoginItemsButton");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "Open Autostart Folder");
    button->click();
    ASSERT_FALSE(desktop->opened.empty());
    EXPECT_EQ(desktop->opened.back(), "file://" + std::string(home) + "/.config/autostart");
}

TEST_F(SettingsWindowTest, TheAboutTabShowsTheVersionAndAnUnregisteredDevice) {
    openAbout();
    EXPECT_EQ(about().versionLabel().text(), "1.2.0");
    EXPECT_EQ(about().updatesLabel().text(), "Up to date");
    EXPECT_TRUE(about().updateButton().isHidden());
    EXPECT_FALSE(about().checkNowButton().isHidden());
    EXPECT_EQ(about().supportIDLabel().text(), "Not assigned yet");
    EXPECT_TRUE(about().copyButton().isHidden());
    EXPECT_TRUE(about().accountTitle().isHidden());
    // Showing the tab asks for the account only once there is a device to ask about.
    EXPECT_EQ(services.cloud->account.calls(), 0);
}

// Without a cloud server or an update feed nothing can tell of a newer version, and until a check answers
// nothing has: the line says so instead of "Up to date".
TEST_F(SettingsWindowTest, TheUpdatesLineSaysWhenNothingCanCheck) {
    bundle = System::Bundle::Bundle({{"CFBundleShortVersionString", "1.2.0"}, {"TessarinAPIURL", ""}},
                                    "/opt/parlindo/bin/parlindo");
    openAbout();
    EXPECT_EQ(about().updatesLabel().text(), "Not set up");
    EXPECT_TRUE(about().updateButton().isHidden());
    EXPECT_TRUE(about().checkNowButton().isHidden());
    executor.advance(twelveHours);
    settle();
    EXPECT_EQ(about().updatesLabel().text(), "Not set up");
}

TEST_F(SettingsWindowTest, TheUpdatesLineSaysNotCheckedYetUntilTheServerAnswers) {
    bundle = System::Bundle::Bundle(
        {{"CFBundleShortVersionString", "1.2.0"}, {"TessarinAPIURL", "https://api.parlindo.invalid/"}},
        "/opt/parlindo/bin/parlindo");
    services.cloud->version.willThrow(std::runtime_error("The Internet connection appears to be offline."));
    services.cloud->version.willReturn(TessarinCloudService::VersionInfo{"1.2.0", "1.0", std::nullopt});
    openAbout();
    EXPECT_EQ(about().updatesLabel().text(), "Not checked yet");
    EXPECT_TRUE(about().updateButton().isHidden());
    EXPECT_TRUE(about().checkNowButton().isHidden()); // no updater without a feed
    executor.advance(twelveHours);
    settle();
    EXPECT_EQ(about().updatesLabel().text(), "Up to date");
}

TEST_F(SettingsWindowTest, AReleaseTheFeedOffersShowsOnTheUpdatesLine) {
    bundle = System::Bundle::Bundle({{"CFBundleShortVersionString", "1.2.0"},
                                     {"TessarinAPIURL", ""},
                                     {"TessarinAppcastURL", "https://updates.parlindo.invalid/appcast.xml"}},
                                    "/opt/parlindo/bin/parlindo");
    services.updateFeed = "<rss version=\"2.0\"><channel><item><version>1.3.0</version>"
                          "<link>https://parlindo.invalid/feed/1.3.0</link></item></channel></rss>";
    openAbout();
    EXPECT_EQ(about().updatesLabel().text(), "Version 1.3.0 is available");
    EXPECT_FALSE(about().updateButton().isHidden());
}

TEST_F(SettingsWindowTest, TheAboutTabShowsTheAccountAndCopiesTheSupportID) {
    services.cloud->storedSupportID = "device-42";
    // Read by the launch and again when the tab shows.
    for (int read = 0; read < 2; ++read) {
        services.cloud->account.willReturn(TessarinCloudService::AccountStatus{false, 2000, 1234});
    }
    services.cloud->version.willReturn(TessarinCloudService::VersionInfo{"2.0", "1.0", std::nullopt});
    openAbout();
    EXPECT_EQ(about().updatesLabel().text(), "Version 2.0 is available");
    EXPECT_FALSE(about().updateButton().isHidden()); // there is an updater
    EXPECT_TRUE(about().checkNowButton().isHidden());
    EXPECT_EQ(about().supportIDLabel().text(), "device-42");
    EXPECT_EQ(about().accountTitle().text(), "Minutes left this month");
    EXPECT_EQ(about().accountValue().text(), "1,234");

    about().copyButton().click();
    ASSERT_EQ(pasteboard->contents().size(), 1u);
    EXPECT_EQ(pasteboard->contents()[0].data(System::Pasteboard::stringType), "device-42");

    services.cloud->account.willReturn(TessarinCloudService::AccountStatus{true, 2000, 1234});
    window->tabs().setCurrentIndex(0);
    window->tabs().setCurrentIndex(1);
    settle();
    EXPECT_EQ(about().accountTitle().text(), "Cloud dictation");
    EXPECT_EQ(about().accountValue().text(), "Turned off for this computer");
}

TEST_F(SettingsWindowTest, TheAboutLinksOpenTheMakersPages) {
    launchReady();
    open();
    about().privacyLink().linkActivated(QString::fromUtf8(AboutSettingsView::privacyPolicyURL.data()));
    about().termsLink().linkActivated(QString::fromUtf8(AboutSettingsView::termsOfUseURL.data()));
    EXPECT_EQ(desktop->opened, (std::vector<std::string>{std::string(AboutSettingsView::privacyPolicyURL),
                                                         std::string(AboutSettingsView::termsOfUseURL)}));
    EXPECT_TRUE(about().privacyLink().text().contains("Privacy Policy"));
    EXPECT_TRUE(about().termsLink().text().contains("Terms of Use"));
}

} // namespace
} // namespace Parlindo::Testing
