#include "App/SettingsStore.h"
#include "System/Log/Logger.h"
#include "System/Paths/Files.h"
#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace Parlindo;
using namespace TessarinCore;
using System::Defaults::UserDefaults;
namespace fs = std::filesystem;

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

namespace {

// Settings kept in a real defaults file, as the application keeps them.
class StoredSettingsTest : public testing::Test {
protected:
    void writeDefaults(const std::string& contents) {
        fs::create_directories(file.parent_path());
        System::FileTesting::writeFile(file, contents);
    }
    std::vector<fs::path> copies() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(file.parent_path())) {
            if (entry.path().filename().string().starts_with("defaults.json.unreadable-")) {
                found.push_back(entry.path());
            }
        }
        return found;
    }
    bool logMentions(const std::string& text) const {
        const auto messages = log.messages("App");
        return std::any_of(messages.begin(), messages.end(), [&](const std::string& message) {
            return message.find(text) != std::string::npos;
        });
    }
    static std::string contentsOf(const fs::path& path) { return System::Paths::readFile(path).value_or(""); }

    System::FileTesting::TemporaryFolder folder{"settings-store-test"};
    const fs::path file = folder / "parlindo" / "defaults.json";
    System::Log::CaptureSink log;
};

} // namespace

TEST_F(StoredSettingsTest, SettingsOfTheWrongShapeAreKeptAsACopyBeforeTheFirstSave) {
    for (const std::string& value : {std::string("42"), std::string(R"({"bindings":"oops"})"),
                                     std::string(R"({"insertionMethod":"dictate"})"),
                                     std::string(R"({"bindings":5,"releaseTail":"soon"})")}) {
        SCOPED_TRACE(value);
        fs::remove_all(folder.path());
        const std::string stored = R"({"dictationSettings": )" + value + R"(, "tessarinDeviceID": "d-1"})";
        writeDefaults(stored);
        auto defaults = std::make_shared<UserDefaults>(file);
        SettingsStore store{"dictationSettings", defaults};

        EXPECT_EQ(store.load(), SettingsStore::defaultSettings());
        EXPECT_TRUE(logMentions(file.string())) << "the fallback to the defaults went unmentioned";
        EXPECT_EQ(contentsOf(file), stored);
        EXPECT_TRUE(copies().empty());

        DictationSettings changed = SettingsStore::defaultSettings();
        changed.restoresClipboard = false;
        store.save(changed);
        store.save(changed);

        const auto kept = copies();
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(contentsOf(kept[0]), stored);
        EXPECT_TRUE(logMentions(kept[0].string())) << "the copy kept went unnamed";
        const UserDefaults reread(file);
        EXPECT_EQ(SettingsStore("dictationSettings", std::make_shared<UserDefaults>(file)).load(), changed);
        EXPECT_EQ(reread.value("tessarinDeviceID"), "d-1");
    }
}

TEST_F(StoredSettingsTest, WithoutACopyTheUnreadableSettingsAreNotReplaced) {
    writeDefaults(R"({"dictationSettings": 42})");
    auto defaults = std::make_shared<UserDefaults>(file);
    fs::remove(file);
    fs::create_directory(file); // the file can no longer be read, so no copy of it can be made

    SettingsStore("dictationSettings", defaults).save(SettingsStore::defaultSettings());
    EXPECT_EQ(defaults->value("dictationSettings"), 42);
    EXPECT_TRUE(logMentions("no copy of them could be kept"));
}

TEST_F(StoredSettingsTest, DeeplyNestedSettingsFallBackToTheDefaultsAndTheNextSaveIsSmall) {
    for (const std::size_t depth : {10'000, 75'000}) {
        fs::remove_all(folder.path());
        const std::string stored =
            R"({"dictationSettings":)" + std::string(depth, '[') + "true" + std::string(depth, ']') + "}";
        writeDefaults(stored);
        SettingsStore store{"dictationSettings", std::make_shared<UserDefaults>(file)};

        EXPECT_EQ(store.load(), SettingsStore::defaultSettings());
        DictationSettings changed = SettingsStore::defaultSettings();
        changed.appendsTrailingSpace = false;
        store.save(changed);

        EXPECT_EQ(store.load(), changed);
        EXPECT_LT(fs::file_size(file), 1000u);
        const auto kept = copies();
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_TRUE(contentsOf(kept[0]) == stored) << "the copy kept aside differs";
    }
}
