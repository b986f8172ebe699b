#include "App/Qt/TrayMenu.h"

#include "WindowTest.h"

#include <QImage>

namespace Parlindo::Testing {
namespace {

const QString ellipsis = QString::fromUtf8("\u2026");

class TrayMenuTest : public WindowTest {
protected:
    void closeWindows() override { tray.reset(); }

    void show() {
        tray = std::make_unique<TrayMenu>(
            model, executor,
            TrayMenu::Host{[this] { ++setupOpened; }, [this] { ++settingsOpened; }, [this] { ++quits; }});
        settle();
    }
    QMenu& menu() { return tray->menu(); }
    QAction& item(const char* name) {
        QAction* action = itemNamed(menu(), name);
        EXPECT_NE(action, nullptr) << name;
        return *action;
    }

    std::unique_ptr<TrayMenu> tray;
    int setupOpened = 0;
    int settingsOpened = 0;
    int quits = 0;
};

TEST_F(TrayMenuTest, BeforeTheFirstDictationTheMenuShowsTheStatusTheKeysAndTheCommands) {
    launchReady();
    show();
    EXPECT_EQ(itemTexts(menu()),
              (std::vector<QString>{"Hold Menu key (English) or Right Alt (Arabic) to dictate", "Keys",
                                    "Menu key: English", "Right Alt: Arabic", "---",
                                    "Setup & Permissions" + ellipsis, "Settings" + ellipsis,
                                    "Check for Updates" + ellipsis, "Paste Last Transcript",
                                    "Copy Last Transcript", "---", "Quit Parlindo"}));
    EXPECT_FALSE(item("statusLabel").isEnabled());
    EXPECT_FALSE(item("pasteItem").isEnabled());
    EXPECT_FALSE(item("copyItem").isEnabled());
    EXPECT_EQ(item("settingsItem").shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(item("quitItem").shortcut(), QKeySequence(QKeySequence::Quit));

    item("setupItem").trigger();
    item("settingsItem").trigger();
    item("quitItem").trigger();
    EXPECT_EQ(setupOpened, 1);
    EXPECT_EQ(settingsOpened, 1);
    EXPECT_EQ(quits, 1);
}

TEST_F(TrayMenuTest, AfterADictationThePreviewShowsAndTheTranscriptCanBePastedAndCopiedAgain) {
    launchReady();
    show();
    services.appleSpeech->text = "Hello from the menu";
    dictate();
    settle();
    EXPECT_EQ(shownText(item("lastTranscriptLabel")), QString::fromUtf8("\u201CHello from the menu\u201D"));
    EXPECT_FALSE(item("lastTranscriptLabel").isEnabled());
    ASSERT_TRUE(item("pasteItem").isEnabled());
    ASSERT_TRUE(item("copyItem").isEnabled());

    item("copyItem").trigger();
    ASSERT_EQ(pasteboard->contents().size(), 1u);
    EXPECT_EQ(pasteboard->contents()[0].data(System::Pasteboard::stringType), "Hello from the menu");

    const std::size_t inserted = services.inserter->requests.size();
    item("pasteItem").trigger();
    executor.advance(ms(250));
    settle();
    ASSERT_EQ(services.inserter->requests.size(), inserted + 1);
    EXPECT_EQ(services.inserter->requests.back().text, "Hello from the menu ");
}

TEST_F(TrayMenuTest, AKeysPickerChangesOnlyItsOwnBindingAndSavesIt) {
    launchReady();
    show();
    QAction* rightOption = itemNamed(menu(), "");
    for (QAction* action : menu().actions()) {
        if (action->menu() && action->menu()->objectName() == "keyPicker61") {
            rightOption = action;
        }
    }
    ASSERT_NE(rightOption, nullptr);
    QMenu& picker = *rightOption->menu();
    ASSERT_EQ(itemTexts(picker),
              (std::vector<QString>{"Auto-detect", "English", QString::fromUtf8("Arabic (العربية)")}));
    EXPECT_TRUE(picker.actions()[2]->isChecked());
    picker.actions()[0]->trigger();
    settle();

    EXPECT_EQ(model->bindings(),
              (std::vector<HotkeyBinding>{{Hotkey::function(), DictationLanguage::english},
                                          {Hotkey::rightOption(), DictationLanguage::automatic}}));
    EXPECT_EQ(SettingsStore("dictationSettings", defaults).load().bindings(), model->bindings());
    EXPECT_EQ(itemTexts(menu())[3], "Right Alt: Auto");
}

TEST_F(TrayMenuTest, WhileSetupIsNeededTheSetupItemAsksToFinishIt) {
    notFirstRun();
    services.permissions->statuses = {{Permission::microphone, PermissionStatus::denied}};
    launch();
    show();
    ASSERT_TRUE(model->needsSetup());
    EXPECT_EQ(shownText(item("setupItem")), QString::fromUtf8("\u26A0\uFE0E Finish Setup") + ellipsis);
    EXPECT_EQ(shownText(item("statusLabel")), "Can't see the dictation keys: needs X11 or XWayland");
}

TEST_F(TrayMenuTest, ANewerVersionAddsTheUpdateItemAboveTheStatus) {
    services.cloud->version.willReturn(
        TessarinCloudService::VersionInfo{"2.0", "1.0", "https://parlindo.invalid/get"});
    launchReady();
    show();
    EXPECT_EQ(itemTexts(menu())[0], "New Version Available (2.0)" + ellipsis);
    EXPECT_EQ(itemTexts(menu())[1], "---");
    EXPECT_TRUE(item("updateItem").isEnabled());
}

TEST_F(TrayMenuTest, TextsWithAmpersandsShowAsTheyAre) {
    services.cloud->version.willReturn(
        TessarinCloudService::VersionInfo{"2.0 R&D", "1.0", "https://parlindo.invalid/get"});
    launchReady();
    show();
    services.appleSpeech->text = "R&D meets Tom & Jerry &&";
    dictate();
    settle();
    EXPECT_EQ(shownText(item("lastTranscriptLabel")),
              QString::fromUtf8("\u201CR&D meets Tom & Jerry &&\u201D"));
    EXPECT_EQ(shownText(item("setupItem")), "Setup & Permissions" + ellipsis);
    EXPECT_EQ(shownText(item("updateItem")), "New Version Available (2.0 R&D)" + ellipsis);
}

// The objects under the menu: its items, the key pickers with their options and action groups.
std::size_t objectsUnder(const QMenu& menu) {
    return static_cast<std::size_t>(menu.findChildren<QObject*>().size());
}

TEST_F(TrayMenuTest, ChangesToTheModelLeaveNoObjectsBehind) {
    launchReady();
    show();
    const std::size_t before = objectsUnder(menu());
    for (const char* vocabulary : {"A", "An", "Android"}) {
        model->setVocabulary(vocabulary);
        settle();
    }
    dictate();
    settle();
    // The preview item was there all along, hidden until the first transcript.
    EXPECT_EQ(objectsUnder(menu()), before);

    // Another set of keys replaces the pickers; going back leaves as many objects as before.
    model->addHotkey(Hotkey::rightShift());
    settle();
    ASSERT_EQ(itemTexts(menu())[5], "Right Shift: Auto");
    EXPECT_GT(objectsUnder(menu()), before);
    model->removeHotkey(Hotkey::rightShift());
    settle();
    EXPECT_EQ(objectsUnder(menu()), before);
}

TEST_F(TrayMenuTest, AnOpenMenuKeepsTheHighlightedItemWhileTheModelChanges) {
    launchReady();
    show();
    menu().popup(QPoint(0, 0));
    QAction* settings = &item("settingsItem");
    menu().setActiveAction(settings);
    model->setVocabulary("Keywords typed while the menu is open");
    dictate();
    settle();
    EXPECT_EQ(menu().activeAction(), settings);
    EXPECT_EQ(shownText(*menu().activeAction()), "Settings" + ellipsis);
    EXPECT_TRUE(item("pasteItem").isEnabled());
    menu().hide();
}

TEST(TrayMenuTextTest, TheUpdateTitleNamesTheVersionAndWhetherItIsRequired) {
    EXPECT_EQ(TrayMenu::menuTitle(AppModel::UpdateStatus::available("2.1", std::nullopt)),
              "New Version Available (2.1)" + ellipsis);
    EXPECT_EQ(TrayMenu::menuTitle(AppModel::UpdateStatus::required("3.0", "https://parlindo.invalid/get")),
              QString::fromUtf8("\u26A0\uFE0E Update Required for Parlindo Cloud (3.0)") + ellipsis);
    for (const AppModel::UpdateStatus& quiet :
         {AppModel::UpdateStatus::upToDate(), AppModel::UpdateStatus::notChecked(),
          AppModel::UpdateStatus::notSetUp()}) {
        EXPECT_EQ(TrayMenu::menuTitle(quiet), std::nullopt);
    }
}

TEST(TrayMenuTextTest, ThePreviewKeepsSixtyCharactersAsTheUserSeesThem) {
    const std::string sixty(60, 'x');
    EXPECT_EQ(TrayMenu::transcriptPreview(sixty),
              QString::fromUtf8("\u201C") + QString(60, 'x') + QString::fromUtf8("\u201D"));
    EXPECT_EQ(TrayMenu::transcriptPreview(sixty + "y"),
              QString::fromUtf8("\u201C") + QString(60, 'x') + ellipsis + QString::fromUtf8("\u201D"));
    // Sixty emoji with skin tones and sixty accented letters are sixty characters each, not more.
    std::string emoji;
    std::string accented;
    for (int i = 0; i < 60; ++i) {
        emoji += "👍🏽";
        accented += "e\u0301";
    }
    EXPECT_FALSE(TrayMenu::transcriptPreview(emoji).contains(ellipsis));
    EXPECT_FALSE(TrayMenu::transcriptPreview(accented).contains(ellipsis));
    EXPECT_TRUE(TrayMenu::transcriptPreview(accented + "e\u0301")
                    .endsWith(QString::fromUtf8("e\u0301") + ellipsis + QString::fromUtf8("\u201D")));
}

TEST(TrayMenuTextTest, TheRecordingIconIsRedAndTheOthersFollowTheMenuText) {
    const QImage recording = TrayMenu::icon({"mic.fill", false, "systemRed"}).pixmap(32, 32).toImage();
    bool red = false;
    for (int y = 0; y < recording.height(); ++y) {
        for (int x = 0; x < recording.width(); ++x) {
            const QColor pixel = recording.pixelColor(x, y);
            red = red || (pixel.alpha() > 200 && pixel.red() > 200 && pixel.green() < 100);
        }
    }
    EXPECT_TRUE(red);
    EXPECT_FALSE(TrayMenu::icon({"mic", true, std::nullopt}).isNull());
    EXPECT_TRUE(TrayMenu::icon({"no.such.symbol", true, std::nullopt}).isNull());
}

} // namespace
} // namespace Parlindo::Testing
