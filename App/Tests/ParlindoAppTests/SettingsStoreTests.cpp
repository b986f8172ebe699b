#include "App/SettingsStore.h"

#include <gtest/gtest.h>

using namespace Parlindo;
using namespace TessarinCore;
using System::Defaults::UserDefaults;

namespace {

class SettingsStoreTest : public testing::Test {
protected:
    std::shared_ptr<UserDefaults> defaults = std::make_shared<UserDefaults>();
    SettingsStore store{"dictationSettings", defaults};
};

} // namespace

TEST_F(SettingsStoreTest, AFirstRunGetsTheDefaultsAndWritesNothing) {
    const DictationSettings settings = store.load();

    EXPECT_EQ(settings.bindings(), DictationSettings::defaultBindings());
    EXPECT_EQ(settings.engines,
              (EnginePreferences{EngineID::appleSpeech, EngineID::tessarin, EngineID::tessarin}));
    EXPECT_EQ(settings.vocabularyPrompt, std::nullopt);
    EXPECT_EQ(settings.releaseTail, Duration::milliseconds(100));
    EXPECT_EQ(settings.minimumHold, Duration::milliseconds(150));
    EXPECT_EQ(settings.maximumRecording, Duration::seconds(std::int64_t{300}));
    EXPECT_EQ(settings.insertionMethod, InsertionMethod::paste);
    EXPECT_TRUE(settings.restoresClipboard);
    EXPECT_TRUE(settings.appendsTrailingSpace);
    EXPECT_EQ(settings.openAIModel, CloudModel::openAI.front());
    EXPECT_EQ(settings.groqModel, CloudModel::groq.front());
    EXPECT_EQ(defaults->value("dictationSettings"), std::nullopt);
}

TEST_F(SettingsStoreTest, SavedSettingsComeBackAsTheyWere) {
    DictationSettings settings = SettingsStore::defaultSettings();
    settings.setBindings({{Hotkey::rightCommand(), DictationLanguage::automatic}});
    settings.vocabularyPrompt = "";
    settings.insertionMethod = InsertionMethod::type;
    settings.appendsTrailingSpace = false;
    store.save(settings);

    EXPECT_EQ(store.load(), settings);
    EXPECT_TRUE(defaults->value("dictationSettings")->is_object());
}

TEST_F(SettingsStoreTest, UnreadableSettingsAreKeptAsideBeforeTheFirstSave) {
    const nlohmann::json unreadable = {{"bindings", 5}, {"releaseTail", "soon"}};
    defaults->set("dictationSettings", unreadable);

    EXPECT_EQ(store.load(), SettingsStore::defaultSettings());
    EXPECT_EQ(defaults->value("dictationSettings"), unreadable);

    DictationSettings changed = SettingsStore::defaultSettings();
    changed.restoresClipboard = false;
    store.save(changed);
    EXPECT_EQ(defaults->value("dictationSettings.unreadable"), unreadable);
    EXPECT_EQ(store.load(), changed);

    // A later save of readable settings keeps nothing aside; a second unreadable value gets a name of its
    // own.
    store.save(changed);
    defaults->set("dictationSettings", "not settings");
    store.save(changed);
    EXPECT_EQ(defaults->value("dictationSettings.unreadable"), unreadable);
    EXPECT_EQ(defaults->value("dictationSettings.unreadable-2"), "not settings");
    EXPECT_EQ(defaults->value("dictationSettings.unreadable-3"), std::nullopt);
}
