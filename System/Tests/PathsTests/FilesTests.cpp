#include "System/Paths/Files.h"
#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace System::Paths;

namespace {

using namespace System::FileTesting;

class FilesTest : public testing::Test {
protected:
    TemporaryFolder folder_{"files-test"};
    const fs::path& root_ = folder_.path();
};

TEST_F(FilesTest, CreatesMissingFoldersWithTheModeAndLeavesExistingOnesAsTheUserSetThem) {
    const mode_t oldMask = umask(0);
    createDirectories(root_ / "a" / "b", 0700);
    umask(oldMask);
    EXPECT_EQ(modeOf(root_ / "a"), 0700u);
    EXPECT_EQ(modeOf(root_ / "a" / "b"), 0700u);

    const mode_t strictMask = umask(0077);
    createDirectories(root_ / "c", 0750);
    umask(strictMask);
    EXPECT_EQ(modeOf(root_ / "c"), 0750u);

    // A folder the user made read-only, or open to others, stays so.
    for (const mode_t mode : {0500u, 0755u}) {
        const fs::path existing = root_ / ("existing-" + std::to_string(mode));
        fs::create_directories(existing);
        chmod(existing.c_str(), mode);
        createDirectories(existing, 0700);
        EXPECT_EQ(modeOf(existing), mode);
    }

    std::ofstream(root_ / "plain") << "x";
    EXPECT_THROW(createDirectories(root_ / "plain", 0700), std::system_error);
    EXPECT_THROW(createDirectories(root_ / "plain" / "below", 0700), std::system_error);
}

TEST_F(FilesTest, WritesReplaceTheFileWithTheGivenModeAndLeaveNoTemporaryFile) {
    const fs::path file = root_ / "secret";
    const mode_t oldMask = umask(0); // the mode must not depend on a permissive umask
    writeFileAtomically(file, std::string("a\0b", 3), 0600);
    umask(oldMask);
    EXPECT_EQ(readFile(file), std::string("a\0b", 3));
    EXPECT_EQ(modeOf(file), 0600u);

    chmod(file.c_str(), 0644);
    writeFileAtomically(file, "", 0600);
    EXPECT_EQ(readFile(file), "");
    EXPECT_EQ(modeOf(file), 0600u);

    EXPECT_EQ(entryCount(root_), 1);
}

TEST_F(FilesTest, AFailedWriteLeavesTheOldFileAndNoTemporaryFile) {
    const fs::path target = root_ / "folder-in-the-way";
    fs::create_directories(target / "inside");
    EXPECT_THROW(writeFileAtomically(target, "new", 0600), std::system_error);
    EXPECT_TRUE(fs::is_directory(target / "inside"));
    EXPECT_EQ(entryCount(root_), 1);

    EXPECT_THROW(writeFileAtomically(root_ / "missing-folder" / "file", "x", 0600), std::system_error);
}

} // namespace

namespace {

TEST(ReadFileTest, ReadsWholeFilesAndTellsMissingFromUnreadable) {
    System::FileTesting::TemporaryFolder folder("read-file-test");
    System::FileTesting::writeFile(folder / "data", std::string("a\0b", 3));
    fs::create_directories(folder / "a-folder");

    EXPECT_EQ(readFile(folder / "data"), std::string("a\0b", 3));
    EXPECT_EQ(readFile(folder / "missing"), std::nullopt);
    EXPECT_THROW(readFile(folder / "a-folder"), std::system_error);
}

TEST(ReadFileTest, AFileLongerThanTheBoundIsRefused) {
    System::FileTesting::TemporaryFolder folder("read-file-bound-test");
    System::FileTesting::writeFile(folder / "data", std::string(100000, 'x'));

    EXPECT_EQ(readFile(folder / "data", 100000)->size(), 100000u);
    try {
        readFile(folder / "data", 99999);
        ADD_FAILURE() << "a file past the bound was read";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::file_too_large);
        EXPECT_NE(std::string(error.what()).find("data"), std::string::npos) << error.what();
    }
}

} // namespace
