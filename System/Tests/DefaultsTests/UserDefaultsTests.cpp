#include "System/Defaults/UserDefaults.h"
#include "System/Log/Logger.h"
#include "System/Paths/Files.h"
#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using System::Defaults::DefaultsError;
using System::Defaults::UserDefaults;

namespace {

using namespace System::FileTesting;

// The file's contents; empty when it is missing.
std::string contentsOf(const fs::path& file) {
    return System::Paths::readFile(file).value_or("");
}

// `value` inside `depth` arrays.
std::string nested(std::size_t depth, const std::string& value) {
    return std::string(depth, '[') + value + std::string(depth, ']');
}

class UserDefaultsTest : public testing::Test {
protected:
    void writeDocument(const std::string& contents) {
        fs::create_directories(file_.parent_path());
        writeFile(file_, contents);
    }
    std::vector<fs::path> asideCopies() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(file_.parent_path())) {
            if (entry.path().filename().string().starts_with("defaults.json.unreadable-")) {
                found.push_back(entry.path());
            }
        }
        return found;
    }

    TemporaryFolder folder_{"defaults-test"};
    const fs::path& root_ = folder_.path();
    const fs::path file_ = root_ / "parlindo" / "defaults.json";
    System::Log::CaptureSink log_;
};

TEST_F(UserDefaultsTest, ValuesSurviveANewInstanceInAPrivateFile) {
    {
        UserDefaults defaults(file_);
        EXPECT_EQ(defaults.value("tessarinDeviceID"), std::nullopt);
        EXPECT_FALSE(fs::exists(file_.parent_path())); // nothing is written before the first change

        defaults.set("tessarinDeviceID", "device-1");
        defaults.set("openAtLoginSetUp", true);
        defaults.set("dictationSettings", nlohmann::json{{"trailingSpace", false}});
    }
    EXPECT_EQ(modeOf(file_.parent_path()), 0700u);
    EXPECT_EQ(modeOf(file_), 0600u);

    UserDefaults reread(file_);
    EXPECT_EQ(reread.get<std::string>("tessarinDeviceID"), "device-1");
    EXPECT_EQ(reread.get<bool>("openAtLoginSetUp"), true);
    EXPECT_EQ(reread.value("dictationSettings"), (nlohmann::json{{"trailingSpace", false}}));
}

TEST_F(UserDefaultsTest, TypedReadsGiveNothingForAnotherType) {
    UserDefaults defaults(file_);
    defaults.set("flag", true);
    defaults.set("name", "x");
    EXPECT_EQ(defaults.get<std::string>("flag"), std::nullopt);
    EXPECT_EQ(defaults.get<bool>("name"), std::nullopt);
    EXPECT_EQ(defaults.get<int>("name"), std::nullopt);
    EXPECT_EQ(defaults.get<std::string>("absent"), std::nullopt);
}

TEST_F(UserDefaultsTest, RemovingSavesAndAnAbsentKeyChangesNothing) {
    UserDefaults defaults(file_);
    defaults.remove("never-set");
    EXPECT_FALSE(fs::exists(file_));

    defaults.set("a", 1);
    defaults.set("b", 2);
    defaults.remove("a");
    EXPECT_EQ(defaults.value("a"), std::nullopt);
    EXPECT_EQ(nlohmann::json::parse(contentsOf(file_)), (nlohmann::json{{"b", 2}}));
}

TEST_F(UserDefaultsTest, AnUnreadableDocumentIsKeptAsideNotOverwritten) {
    for (const std::string& contents : {std::string("{\"tessarinDeviceID\": "), std::string("[1, 2]"),
                                        std::string("\"text\""), std::string("\xFF\xFE")}) {
        fs::remove_all(root_);
        writeDocument(contents);

        UserDefaults defaults(file_);
        EXPECT_EQ(defaults.value("tessarinDeviceID"), std::nullopt);
        defaults.set("tessarinDeviceID", "fresh");

        const auto copies = asideCopies();
        ASSERT_EQ(copies.size(), 1u) << contents;
        EXPECT_EQ(contentsOf(copies[0]), contents);
        EXPECT_EQ(UserDefaults(file_).get<std::string>("tessarinDeviceID"), "fresh");
    }
    EXPECT_FALSE(log_.messages("Defaults").empty());
}

TEST_F(UserDefaultsTest, DeeplyNestedDocumentsAreKeptAsideAndTheNextSaveIsSmall) {
    const std::size_t limit = UserDefaults::kMaxDepth;
    const struct {
        std::string document;
        bool readable;
    } cases[] = {
        {R"({"dictationSettings":)" + nested(75'000, "true") + "}", false},
        {R"({"tessarinDeviceID":"old","cloudKeyHint":)" + nested(75'000, "1") + "}", false},
        {R"({"x":)" + nested(10'000, "0") + "}", false},
        {R"({"dictationSettings":{"bindings":)" + nested(30'000, "{}") + "}}", false},
        {R"({"x":)" + nested(limit, "0") + "}", false},
        {R"({"x":)" + nested(limit - 1, "0") + "}", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document.substr(0, 40));
        fs::remove_all(root_);
        writeDocument(c.document);

        UserDefaults defaults(file_);
        EXPECT_EQ(defaults.value("dictationSettings"), std::nullopt);
        EXPECT_EQ(defaults.value("x").has_value(), c.readable);
        defaults.set("tessarinDeviceID", "fresh");
        defaults.remove("cloudKeyHint");
        defaults.remove("x");

        EXPECT_LT(fs::file_size(file_), 100u);
        EXPECT_EQ(UserDefaults(file_).value("tessarinDeviceID"), "fresh");
        const auto copies = asideCopies();
        ASSERT_EQ(copies.size(), c.readable ? 0u : 1u);
        if (!c.readable) {
            EXPECT_TRUE(contentsOf(copies[0]) == c.document) << "the copy kept aside differs";
        }
    }
}

TEST_F(UserDefaultsTest, AValueTooDeepToReadBackIsRefusedAndChangesNothing) {
    UserDefaults defaults(file_);
    defaults.set("kept", "yes");
    const std::string before = contentsOf(file_);

    EXPECT_THROW(defaults.set("deep", nlohmann::json::parse(nested(UserDefaults::kMaxDepth, "1"))),
                 DefaultsError);
    EXPECT_THROW(defaults.set("kept", nlohmann::json::parse(nested(UserDefaults::kMaxDepth, "1"))),
                 DefaultsError);
    EXPECT_EQ(defaults.value("deep"), std::nullopt);
    EXPECT_EQ(defaults.value("kept"), "yes");
    EXPECT_EQ(contentsOf(file_), before);

    const auto deepest = nlohmann::json::parse(nested(UserDefaults::kMaxDepth - 1, "1"));
    defaults.set("deep", deepest);
    EXPECT_EQ(UserDefaults(file_).value("deep"), deepest);
}

TEST_F(UserDefaultsTest, TheSavedTextStaysCloseToTheSizeOfItsValues) {
    UserDefaults defaults(file_);
    const nlohmann::json values = {
        {"deep", nlohmann::json::parse(nested(UserDefaults::kMaxDepth - 1, "1"))},
        {"settings", {{"bindings", {{{"hotkey", {{"keyCode", 63}}}, {"language", "english"}}}}}},
        {"name", "Zoë \"quoted\""},
    };
    for (const auto& [key, value] : values.items()) {
        defaults.set(key, value);
    }
    const std::string text = contentsOf(file_);
    EXPECT_LE(text.size(), 2 * values.dump().size()) << text;
    EXPECT_EQ(nlohmann::json::parse(text), values);
    EXPECT_TRUE(text.starts_with("{\n  \"deep\": [[")) << text; // one key to a line, for a reader of the file
}

TEST_F(UserDefaultsTest, KeepingACopyLeavesTheFileAndEarlierCopiesAsTheyAre) {
    UserDefaults defaults(file_);
    EXPECT_EQ(defaults.keepCopy(), std::nullopt); // nothing stored yet

    defaults.set("a", 1);
    const std::string first = contentsOf(file_);
    const auto copy = defaults.keepCopy();
    defaults.set("a", 2);
    const auto second = defaults.keepCopy();

    ASSERT_TRUE(copy && second);
    EXPECT_NE(*copy, *second);
    EXPECT_EQ(contentsOf(*copy), first);
    EXPECT_EQ(contentsOf(*second), contentsOf(file_));
    EXPECT_EQ(modeOf(*copy), 0600u);
    EXPECT_EQ(UserDefaults(file_).value("a"), 2);
    EXPECT_EQ(UserDefaults().keepCopy(), std::nullopt);

    // A file that can no longer be read is no copy.
    fs::remove(file_);
    fs::create_directory(file_);
    EXPECT_THROW(defaults.keepCopy(), DefaultsError);
}

TEST_F(UserDefaultsTest, EarlierCopiesKeptAsideAreNeverReplaced) {
    writeDocument("broken one");
    UserDefaults first(file_);
    writeDocument("broken two");
    UserDefaults second(file_);

    std::vector<std::string> contents;
    for (const auto& copy : asideCopies()) {
        contents.push_back(contentsOf(copy));
    }
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{"broken one", "broken two"}));
}

TEST_F(UserDefaultsTest, ADocumentThatCannotBeMovedAsideIsNeverOverwritten) {
    // A file in a folder where nothing can be renamed, even for root.
    const fs::path file = "/proc/self/status";
    const std::string before = contentsOf(file).substr(0, 5);
    UserDefaults defaults(file);
    try {
        defaults.set("key", "value");
        FAIL() << "the unreadable document was overwritten";
    } catch (const DefaultsError& error) {
        EXPECT_NE(std::string(error.what()).find("won't overwrite it"), std::string::npos) << error.what();
    }
    EXPECT_EQ(defaults.value("key"), std::nullopt);
    EXPECT_EQ(contentsOf(file).substr(0, 5), before);
}

TEST_F(UserDefaultsTest, AFailedSaveLeavesTheValuesAsTheyWere) {
    UserDefaults defaults(file_);
    defaults.set("kept", "yes");
    EXPECT_THROW(defaults.set("bad", std::string("\xFF not UTF-8")), DefaultsError);
    EXPECT_EQ(defaults.value("bad"), std::nullopt);

    fs::remove_all(file_.parent_path());
    std::ofstream(file_.parent_path()) << "a file where the folder should be";
    EXPECT_THROW(defaults.set("other", 1), DefaultsError);
    EXPECT_EQ(defaults.value("other"), std::nullopt);
    EXPECT_EQ(defaults.get<std::string>("kept"), "yes");
}

TEST_F(UserDefaultsTest, InMemoryDefaultsTouchNoFile) {
    UserDefaults defaults;
    defaults.set("tessarinDeviceID", "x");
    EXPECT_EQ(defaults.get<std::string>("tessarinDeviceID"), "x");
    EXPECT_EQ(defaults.file(), std::nullopt);
}

TEST_F(UserDefaultsTest, ConcurrentWritersLoseNoKey) {
    UserDefaults defaults(file_);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                defaults.set("k" + std::to_string(t) + "-" + std::to_string(i), i);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(nlohmann::json::parse(contentsOf(file_)).size(), 100u);
}

TEST(UserDefaultsStandardTest, TheStandardFileIsInTheParlindoConfigFolder) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    setenv("XDG_CONFIG_HOME", "/x/config", 1);
    EXPECT_EQ(UserDefaults::standardFile(), fs::path("/x/config/parlindo/defaults.json"));
    if (old) {
        setenv("XDG_CONFIG_HOME", old, 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
}

} // namespace
