#include "App/Platform/ProcessLauncher.h"
#include "App/Platform/XdgDesktopServices.h"
#include "System/Tests/FileTesting/FileTesting.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace Parlindo;

namespace {

// Stand-ins for the desktop's commands, first on PATH: each reports its name and arguments as one line on a
// pipe the test reads, then exits with the status it was made with.
class FakeCommands {
public:
    FakeCommands() {
        pipe_ = root_ / "reports";
        mkfifo(pipe_.c_str(), 0600);
        // Both ends stay open here, so reading waits for a report and never sees the end of the pipe.
        reader_ = ::open(pipe_.c_str(), O_RDONLY | O_NONBLOCK);
        writer_ = ::open(pipe_.c_str(), O_WRONLY);
        const char* path = std::getenv("PATH");
        savedPath_ = path ? path : "";
        setenv("PATH", (root_.path().string() + ":" + savedPath_).c_str(), 1);
    }
    ~FakeCommands() {
        setenv("PATH", savedPath_.c_str(), 1);
        ::close(reader_);
        ::close(writer_);
    }

    void install(const std::string& name, int exitStatus) {
        const fs::path script = root_ / name;
        System::FileTesting::writeFile(script,
                                       "#!/bin/sh\n"
                                       "line=" +
                                           name +
                                           "\n"
                                           "for argument in \"$@\"; do line=\"$line [$argument]\"; done\n"
                                           "echo \"$line\" > '" +
                                           pipe_.string() +
                                           "'\n"
                                           "exit " +
                                           std::to_string(exitStatus) + "\n");
        fs::permissions(script, fs::perms::owner_all);
    }

    // The next report; empty when none comes within ten seconds.
    std::string nextReport() {
        while (buffered_.find('\n') == std::string::npos) {
            pollfd ready{reader_, POLLIN, 0};
            if (poll(&ready, 1, 10'000) <= 0) {
                return {};
            }
            char chunk[512];
            const ssize_t count = ::read(reader_, chunk, sizeof chunk);
            if (count > 0) {
                buffered_.append(chunk, static_cast<std::size_t>(count));
            }
        }
        const auto end = buffered_.find('\n');
        std::string line = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        return line;
    }

    const fs::path& root() const { return root_.path(); }

private:
    System::FileTesting::TemporaryFolder root_{"desktop-services-test"};
    fs::path pipe_;
    int reader_ = -1;
    int writer_ = -1;
    std::string buffered_;
    std::string savedPath_;
};

// The promise of a process's wait status, shared with the launcher's waiting thread: that thread may still
// report after a test that gave up on it has ended.
struct ExitWatch {
    std::shared_ptr<std::promise<int>> promise = std::make_shared<std::promise<int>>();
    std::function<void(int)> onExit() const {
        return [promise = promise](int status) { promise->set_value(status); };
    }
};

} // namespace

TEST(ProcessLauncherTest, StartsTheProgramAndReportsItsExitStatus) {
    ExitWatch exited;
    const auto pid = launchProcess({"sh", "-c", "exit 7"}, exited.onExit());
    ASSERT_TRUE(pid.has_value());
    auto status = exited.promise->get_future();
    ASSERT_EQ(status.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const int waitStatus = status.get();
    EXPECT_TRUE(WIFEXITED(waitStatus));
    EXPECT_EQ(WEXITSTATUS(waitStatus), 7);
}

TEST(ProcessLauncherTest, TheChildHasASessionOfItsOwnAndNoInheritedFiles) {
    const int inherited = ::open("/dev/null", O_RDONLY); // without close-on-exec
    ASSERT_GE(inherited, 3);
    ExitWatch exited;
    // Field 6 of /proc/<pid>/stat is the session id.
    const std::string check = "set -- $(cat /proc/$$/stat); [ \"$6\" = \"$$\" ] && [ ! -e /proc/$$/fd/" +
                              std::to_string(inherited) + " ]";
    ASSERT_TRUE(launchProcess({"sh", "-c", check}, exited.onExit()));
    auto status = exited.promise->get_future();
    ASSERT_EQ(status.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(WEXITSTATUS(status.get()), 0);
    ::close(inherited);
}

TEST(ProcessLauncherTest, AMissingProgramIsNotStarted) {
    EXPECT_FALSE(launchProcess({"/nonexistent/program"}).has_value());
    EXPECT_FALSE(launchProcess({}).has_value());
}

TEST(XdgDesktopServicesTest, AddressesOpenWithXdgOpen) {
    FakeCommands commands;
    commands.install("xdg-open", 0);
    XdgDesktopServices desktop;
    EXPECT_TRUE(desktop.openURL("https://parlindo.invalid/download?v=2&x=1"));
    EXPECT_EQ(commands.nextReport(), "xdg-open [https://parlindo.invalid/download?v=2&x=1]");
}

TEST(XdgDesktopServicesTest, AddressesAHandlerWouldMisreadAreRefused) {
    FakeCommands commands;
    commands.install("xdg-open", 0);
    XdgDesktopServices desktop;
    EXPECT_FALSE(desktop.openURL(""));
    EXPECT_FALSE(desktop.openURL("--help"));
    EXPECT_FALSE(desktop.openURL("https://a.invalid/\nsecond"));
}

TEST(XdgDesktopServicesTest, RevealingAsksTheFileManagerToSelectTheFile) {
    FakeCommands commands;
    commands.install("dbus-send", 0);
    XdgDesktopServices desktop;
    desktop.revealInFileManager("/opt/My Apps,1/parlindo");
    EXPECT_EQ(commands.nextReport(),
              "dbus-send [--session] [--print-reply] [--dest=org.freedesktop.FileManager1] "
              "[/org/freedesktop/FileManager1] [org.freedesktop.FileManager1.ShowItems] "
              "[array:string:file:///opt/My%20Apps%2C1/parlindo] [string:]");
}

TEST(XdgDesktopServicesTest, RevealingOpensTheFolderWhenNoFileManagerAnswers) {
    FakeCommands commands;
    commands.install("dbus-send", 1);
    commands.install("xdg-open", 0);
    XdgDesktopServices desktop;
    desktop.revealInFileManager("/opt/parlindo/parlindo");
    EXPECT_EQ(commands.nextReport().rfind("dbus-send ", 0), 0u);
    EXPECT_EQ(commands.nextReport(), "xdg-open [/opt/parlindo]");
}

TEST(XdgDesktopServicesTest, ANewInstanceStartsTheProgramItself) {
    FakeCommands commands;
    commands.install("parlindo", 0);
    XdgDesktopServices desktop;
    EXPECT_TRUE(desktop.launchNewInstance(commands.root() / "parlindo"));
    EXPECT_EQ(commands.nextReport(), "parlindo");
    EXPECT_FALSE(desktop.launchNewInstance(commands.root() / "missing"));
}
