#include "System/Paths/Paths.h"
#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace System::Paths;

namespace {

// Sets the variables a test names (nullopt unsets one) and puts every one back afterwards.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(std::map<std::string, std::optional<std::string>> values) {
        for (const auto& [name, value] : values) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
            apply(name, value);
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            apply(name, value);
        }
    }

private:
    static void apply(const std::string& name, const std::optional<std::string>& value) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

class PathsTest : public testing::Test {
protected:
    void SetUp() override { fs::create_directories(root_ / "config"); }

    void writeUserDirs(const std::string& contents) {
        System::FileTesting::writeFile(root_ / "config" / "user-dirs.dirs", contents);
    }

    System::FileTesting::TemporaryFolder folder_{"paths-test"};
    const fs::path& root_ = folder_.path();
};

TEST_F(PathsTest, BaseDirectoriesHonourAbsoluteVariablesOnly) {
    struct Case {
        std::optional<std::string> configVariable;
        std::optional<std::string> dataVariable;
        fs::path expectedConfig;
        fs::path expectedData;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, "/home/u/.config", "/home/u/.local/share"},
        {"/x/conf", "/x/data", "/x/conf", "/x/data"},
        {"", "", "/home/u/.config", "/home/u/.local/share"},
        {"relative/conf", "./data", "/home/u/.config", "/home/u/.local/share"},
    };
    for (const auto& c : cases) {
        ScopedEnvironment env(
            {{"HOME", "/home/u"}, {"XDG_CONFIG_HOME", c.configVariable}, {"XDG_DATA_HOME", c.dataVariable}});
        EXPECT_EQ(configHome(), c.expectedConfig);
        EXPECT_EQ(dataHome(), c.expectedData);
        EXPECT_EQ(applicationSupportDirectory(), c.expectedData);
    }
}

TEST_F(PathsTest, DocumentsFolderComesFromVariableThenUserDirsThenDefault) {
    struct Case {
        std::optional<std::string> variable;
        std::optional<std::string> userDirs;
        fs::path expected;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, "/home/u/Documents"},
        {std::nullopt, "# written by a tool\nXDG_DOCUMENTS_DIR=\"$HOME/Papiere\"\n", "/home/u/Papiere"},
        {std::nullopt, "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n", "/srv/docs"},
        {std::nullopt, "XDG_DOCUMENTS_DIR=\"$HOME/My\\\"Docs\"\n", "/home/u/My\"Docs"},
        {std::nullopt, "XDG_DOCUMENTS_DIR=\"$HOME\"\n", "/home/u"},
        {std::nullopt, "XDG_DESKTOP_DIR=\"$HOME/Desk\"\n", "/home/u/Documents"},
        {std::nullopt, "XDG_DOCUMENTS_DIR=\"relative\"\n", "/home/u/Documents"},
        {std::nullopt, "XDG_DOCUMENTS_DIR=\"$HOMEWORK/x\"\n", "/home/u/Documents"},
        {std::nullopt, "XDG_DOCUMENTS_DIR=\"$HOME/a\"\nXDG_DOCUMENTS_DIR=\"$HOME/b\"\n", "/home/u/b"},
        {"/env/docs", "XDG_DOCUMENTS_DIR=\"$HOME/Papiere\"\n", "/env/docs"},
        {"not/absolute", "XDG_DOCUMENTS_DIR=\"$HOME/Papiere\"\n", "/home/u/Papiere"},
    };
    for (const auto& c : cases) {
        fs::remove(root_ / "config" / "user-dirs.dirs");
        if (c.userDirs) {
            writeUserDirs(*c.userDirs);
        }
        ScopedEnvironment env({{"HOME", "/home/u"},
                               {"XDG_CONFIG_HOME", (root_ / "config").string()},
                               {"XDG_DOCUMENTS_DIR", c.variable}});
        EXPECT_EQ(documentsDirectory(), c.expected) << c.userDirs.value_or("(no file)");
    }
}

TEST_F(PathsTest, HomeFallsBackToThePasswordDatabase) {
    ScopedEnvironment env({{"HOME", std::nullopt}});
    const fs::path home = homeDirectory();
    EXPECT_TRUE(home.is_absolute());
    EXPECT_EQ(configHome(), home / ".config");
}

} // namespace
