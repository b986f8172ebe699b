#include "System/LoginItem/AutostartLoginItem.h"
#include "System/LoginItem/FakeLoginItem.h"
#include "System/Paths/Files.h"
#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using namespace System::LoginItem;
using System::FileTesting::TemporaryFolder;
using System::FileTesting::writeFile;

namespace {

class AutostartLoginItemTest : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder_ / "bin");
        program_ = folder_ / "bin" / "parlindo";
        writeFile(program_, "#!/bin/sh\n");
        fs::permissions(program_, fs::perms::owner_all);
    }

    AutostartLoginItem item() const {
        return AutostartLoginItem("com.tessarin.Tessarin", "Parlindo", program_, folder_ / "autostart");
    }
    std::string entry() const {
        return System::Paths::readFile(folder_ / "autostart" / "com.tessarin.Tessarin.desktop").value_or("");
    }
    void writeEntry(const std::string& contents) const {
        fs::create_directories(folder_ / "autostart");
        writeFile(folder_ / "autostart" / "com.tessarin.Tessarin.desktop", contents);
    }

    TemporaryFolder folder_{"login-item-test"};
    fs::path program_;
};

} // namespace

TEST(LoginItemStatusTest, NamesEveryStatusAndUnknownRawValues) {
    EXPECT_EQ(name(Status::notRegistered), "not registered");
    EXPECT_EQ(name(Status::enabled), "enabled");
    EXPECT_EQ(name(Status::requiresApproval), "requires approval");
    EXPECT_EQ(name(Status::notFound), "not found");
    EXPECT_EQ(name(static_cast<Status>(7)), "unknown (7)");
}

TEST_F(AutostartLoginItemTest, RegisteringWritesAnEntryThatStartsTheProgram) {
    auto login = item();
    EXPECT_EQ(login.status(), Status::notRegistered);

    login.registerItem();

    EXPECT_EQ(login.status(), Status::enabled);
    const std::string text = entry();
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    EXPECT_NE(text.find("\nName=Parlindo\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=\"" + program_.string() + "\"\n"), std::string::npos);
}

TEST_F(AutostartLoginItemTest, UnregisteringRemovesTheEntryAndToleratesItsAbsence) {
    auto login = item();
    login.registerItem();
    login.unregister();
    EXPECT_EQ(login.status(), Status::notRegistered);
    EXPECT_FALSE(fs::exists(login.entryFile()));
    EXPECT_NO_THROW(login.unregister());
}

TEST_F(AutostartLoginItemTest, StatusFollowsEntriesChangedOutsideTheApplication) {
    struct Case {
        std::string contents;
        Status expected;
    };
    const std::string exec = "Exec=\"" + program_.string() + "\"\n";
    const std::vector<Case> cases{
        {"[Desktop Entry]\nType=Application\n" + exec, Status::enabled},
        {"[Desktop Entry]\n" + exec + "Hidden=true\n", Status::notRegistered},
        {"[Desktop Entry]\n" + exec + "X-GNOME-Autostart-enabled=false\n", Status::notRegistered},
        {"[Desktop Entry]\nExec=\"/nowhere/parlindo\"\n", Status::notFound},
        {"[Desktop Entry]\nType=Application\n", Status::notFound},
        {"[Other Group]\n" + exec, Status::notFound},
        {"[Desktop Entry]\nExec=parlindo --quiet\n", Status::enabled},
    };
    for (const auto& testCase : cases) {
        writeEntry(testCase.contents);
        EXPECT_EQ(item().status(), testCase.expected) << testCase.contents;
    }
}

TEST_F(AutostartLoginItemTest, RegisteringRepointsAnEntryWhoseProgramMoved) {
    writeEntry("[Desktop Entry]\nExec=\"/old/place/parlindo\"\n");
    auto login = item();
    ASSERT_EQ(login.status(), Status::notFound);
    login.registerItem();
    EXPECT_EQ(login.status(), Status::enabled);
}

TEST_F(AutostartLoginItemTest, AFolderThatCannotBeMadeIsAnError) {
    writeFile(folder_ / "blocker", "a file where the folder should be");
    AutostartLoginItem login("com.tessarin.Tessarin", "Parlindo", program_,
                             folder_ / "blocker" / "autostart");
    EXPECT_THROW(login.registerItem(), LoginItemError);
    EXPECT_EQ(login.status(), Status::notRegistered);
}

// The cloud and update addresses a start was given must reach the start at login too.
TEST_F(AutostartLoginItemTest, TheEntryStartsTheProgramWithTheVariablesItWasGiven) {
    const AutostartLoginItem::Environment given{{"PARLINDO_API_URL", "https://cloud.example.org/a?b=1&c=50%"},
                                                {"PARLINDO_APPCAST_URL", "https://updates.example.org/feed"}};
    AutostartLoginItem login("com.tessarin.Tessarin", "Parlindo", program_, folder_ / "autostart", given);
    login.registerItem();

    EXPECT_NE(entry().find("\nExec=env \"PARLINDO_API_URL=https://cloud.example.org/a?b=1&c=50%%\" "
                           "\"PARLINDO_APPCAST_URL=https://updates.example.org/feed\" \"" +
                           program_.string() + "\"\n"),
              std::string::npos)
        << entry();
    EXPECT_EQ(login.status(), Status::enabled);
    EXPECT_TRUE(login.isCurrent());
}

TEST_F(AutostartLoginItemTest, AnEntryIsCurrentOnlyWhenItStartsTheProgramAsThisItemWould) {
    const AutostartLoginItem::Environment given{{"PARLINDO_API_URL", "https://cloud.example.org/"}};
    AutostartLoginItem withAddress("com.tessarin.Tessarin", "Parlindo", program_, folder_ / "autostart",
                                   given);
    AutostartLoginItem without = item();
    EXPECT_TRUE(withAddress.isCurrent()) << "no entry: nothing to write again";

    without.registerItem();
    EXPECT_TRUE(without.isCurrent());
    EXPECT_FALSE(withAddress.isCurrent());
    withAddress.registerItem();
    EXPECT_TRUE(withAddress.isCurrent());
    EXPECT_FALSE(without.isCurrent());

    writeEntry("[Desktop Entry]\nExec=\"/elsewhere/parlindo\"\n");
    EXPECT_FALSE(without.isCurrent());
    // Quoting that differs in form only is the same command.
    writeEntry("[Desktop Entry]\nExec=env PARLINDO_API_URL=https://cloud.example.org/ " + program_.string() +
               "\n");
    EXPECT_TRUE(withAddress.isCurrent());
}

TEST(DesktopExecTest, TheProgramOfACommandThatSetsVariablesIsTheOneAfterThem) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"\"/opt/p/parlindo\" --quiet", "/opt/p/parlindo"},
        {"env A=1 \"B=two words\" /opt/p/parlindo", "/opt/p/parlindo"},
        {"/usr/bin/env \"A=1\" \"/a b/parlindo\"", "/a b/parlindo"},
        {"env A=1", ""},
        {"", ""},
    };
    for (const auto& [exec, program] : cases) {
        EXPECT_EQ(desktopExecProgram(exec), program) << exec;
    }
    EXPECT_EQ(desktopExecArguments(desktopExecValue(std::vector<std::string>{"env", "A=x y", "/p"})),
              (std::vector<std::string>{"env", "A=x y", "/p"}));
}

TEST(DesktopExecTest, ProgramPathsSurviveQuotingAndEscaping) {
    for (const std::string path : {"/opt/Parlindo/parlindo", "/home/a b/bin/parlindo", "/tmp/50%/x",
                                   "/tmp/$HOME/`x`/\"q\"", "/tmp/back\\slash"}) {
        EXPECT_EQ(desktopExecProgram(desktopExecValue(path)), path) << desktopExecValue(path);
    }
    EXPECT_EQ(desktopExecValue("/a b/50%"), "\"/a b/50%%\"");
    EXPECT_EQ(desktopExecValue("/a\\b"), "\"/a\\\\b\"");
}

TEST_F(AutostartLoginItemTest, ABackslashInTheProgramPathIsEscapedTwiceInTheFile) {
    program_ = folder_ / "bin" / "back\\slash";
    writeFile(program_, "#!/bin/sh\n");
    fs::permissions(program_, fs::perms::owner_all);
    auto login = item();
    login.registerItem();
    EXPECT_NE(entry().find("/back\\\\\\\\slash\""), std::string::npos) << entry();
    EXPECT_EQ(login.status(), Status::enabled);
}

TEST(FakeLoginItemTest, RecordsCallsAndFailsOnce) {
    FakeLoginItem fake;
    fake.nextFailure = "denied";
    EXPECT_THROW(fake.registerItem(), LoginItemError);
    EXPECT_EQ(fake.status(), Status::notRegistered);
    fake.registrationNeedsApproval = true;
    fake.registerItem();
    EXPECT_EQ(fake.status(), Status::requiresApproval);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"register", "status", "register", "status"}));
}
