#include "System/Pasteboard/MemoryPasteboard.h"
#include "System/Pasteboard/X11Pasteboard.h"

#include "Eventually.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace System::Pasteboard;

namespace {

// Runs a shell command and returns what it printed; fails the test when it fails.
std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return output;
    }
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    const int status = pclose(pipe);
    EXPECT_EQ(status, 0) << command;
    return output;
}

// Another application that copies: xclip takes the clipboard and serves it until it loses it or ends.
class OtherApplication {
public:
    // Returns once the pasteboard has seen the copy.
    OtherApplication(Pasteboard& pasteboard, const std::string& data, const std::string& type) {
        const std::string file = ::testing::TempDir() + "pasteboard-test-copy";
        std::ofstream(file, std::ios::binary) << data;
        const auto before = pasteboard.changeCount();
        const char* argv[] = {"xclip",      "-quiet", "-selection", "clipboard", "-t",
                              type.c_str(), "-i",     file.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const int failed =
            posix_spawnp(&pid_, "xclip", &actions, nullptr, const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed) {
            ADD_FAILURE() << "cannot start xclip";
            pid_ = 0;
            return;
        }
        EXPECT_TRUE(eventually([&] { return pasteboard.changeCount() > before; })) << "xclip never copied";
    }
    ~OtherApplication() { quit(); }

    void quit() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = 0;
        }
    }

private:
    pid_t pid_ = 0;
};

std::string pasteElsewhere(const std::string& type) {
    return run("xclip -selection clipboard -o -t '" + type + "'");
}

PasteboardItem item(std::initializer_list<std::pair<std::string, std::string>> entries) {
    PasteboardItem result;
    for (const auto& [type, data] : entries) {
        result.setData(type, data);
    }
    return result;
}

// Bytes of every value 0-255, repeated: no text encoding survives this unchanged by accident.
std::string binary(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = char((i * 7 + i / 256) & 0xff);
    }
    return data;
}

} // namespace

TEST(PasteboardItemTests, keepsTypesInOrderAndReplacesInPlace) {
    PasteboardItem entry;
    entry.setString("one");
    entry.setData("text/html", "<b>one</b>");
    entry.setString("two");
    EXPECT_EQ(entry.types(), (std::vector<std::string>{"UTF8_STRING", "text/html"}));
    EXPECT_EQ(entry.data("UTF8_STRING"), "two");
    EXPECT_EQ(entry.data("image/png"), std::nullopt);
}

TEST(X11PasteboardTests, otherApplicationsPasteWhatWasSet) {
    X11Pasteboard pasteboard;
    PasteboardItem text;
    text.setString("café – naïve مرحبا");
    text.setData("org.nspasteboard.TransientType", "");
    pasteboard.setContents({text});

    EXPECT_EQ(pasteElsewhere("UTF8_STRING"), "café – naïve مرحبا");
    EXPECT_EQ(pasteElsewhere("text/plain;charset=utf-8"), "café – naïve مرحبا");
    const auto targets = pasteElsewhere("TARGETS");
    EXPECT_NE(targets.find("org.nspasteboard.TransientType"), std::string::npos) << targets;
    EXPECT_NE(targets.find("TEXT"), std::string::npos) << targets;
}

TEST(X11PasteboardTests, readsEveryTypeAnotherApplicationOffers) {
    X11Pasteboard pasteboard;
    OtherApplication other(pasteboard, "<p>hello</p>", "text/html");
    const auto items = pasteboard.contents();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].data("text/html"), "<p>hello</p>");
    EXPECT_EQ(items[0].data("TARGETS"), std::nullopt)
        << "targets that describe the selection are no contents";
}

TEST(X11PasteboardTests, itsOwnContentsReadBackWithoutAskingTheServer) {
    X11Pasteboard pasteboard;
    const auto rich =
        item({{"UTF8_STRING", "plain"}, {"text/html", "<i>rich</i>"}, {"text/uri-list", "file:///tmp/x"}});
    pasteboard.setContents({rich});
    EXPECT_EQ(pasteboard.contents(), std::vector<PasteboardItem>{rich});
    EXPECT_EQ(pasteElsewhere("text/uri-list"), "file:///tmp/x");

    pasteboard.setContents({});
    EXPECT_TRUE(pasteboard.contents().empty());
    EXPECT_EQ(pasteElsewhere("TARGETS").find("UTF8_STRING"), std::string::npos)
        << "cleared contents offer no text";
}

TEST(X11PasteboardTests, changeCountGrowsWithEveryWriteHereOrElsewhere) {
    X11Pasteboard pasteboard;
    const auto start = pasteboard.changeCount();
    EXPECT_EQ(pasteboard.changeCount(), start) << "reading changes nothing";

    const auto written = pasteboard.setContents({item({{"UTF8_STRING", "mine"}})});
    EXPECT_EQ(written, start + 1);
    EXPECT_EQ(pasteboard.changeCount(), written) << "this process's own ownership is not counted twice";

    OtherApplication other(pasteboard, "theirs", "UTF8_STRING");
    EXPECT_EQ(pasteboard.changeCount(), written + 1);
    EXPECT_EQ(pasteboard.contents()[0].data("UTF8_STRING"), "theirs");

    // The other application goes away and takes its contents with it.
    other.quit();
    EXPECT_TRUE(eventually([&] { return pasteboard.changeCount() == written + 2; }));
    EXPECT_TRUE(pasteboard.contents().empty());
}

TEST(X11PasteboardTests, twoPasteboardsSeeEachOthersWrites) {
    X11Pasteboard first;
    X11Pasteboard second;
    const auto before = second.changeCount();
    first.setContents({item({{"UTF8_STRING", "from the first"}})});
    EXPECT_EQ(second.changeCount(), before + 1);
    EXPECT_EQ(second.contents()[0].data("UTF8_STRING"), "from the first");
}

TEST(X11PasteboardTests, largeDataTravelsInPiecesBothWays) {
    X11Pasteboard pasteboard;
    const auto big = binary(3 * 1024 * 1024 + 17);
    pasteboard.setContents({item({{"image/png", big}})});
    EXPECT_EQ(pasteElsewhere("image/png"), big);

    OtherApplication other(pasteboard, big, "application/octet-stream");
    const auto items = pasteboard.contents();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].data("application/octet-stream"), big);
}

TEST(MemoryPasteboardTests, countsWritesAndAnswersReadsAtOnce) {
    MemoryPasteboard pasteboard;
    EXPECT_EQ(pasteboard.setContents({item({{"UTF8_STRING", "a"}})}), 1);
    EXPECT_EQ(pasteboard.changeCount(), 1);
    EXPECT_EQ(pasteboard.contents().size(), 1u);
    EXPECT_EQ(pasteboard.accessBehavior(), AccessBehavior::standard);
}

TEST(X11PasteboardTests, anOwnerThatNeverAnswersGivesAnEmptyItemInsteadOfAHang) {
    X11Pasteboard pasteboard;
    // An owner that takes the clipboard and then reads none of its events.
    auto* c = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(c));
    const auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const auto window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, screen->root_visual, 0, nullptr);
    auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 9, "CLIPBOARD"), nullptr);
    const auto before = pasteboard.changeCount();
    xcb_set_selection_owner(c, window, atom->atom, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    std::free(atom);
    EXPECT_EQ(pasteboard.changeCount(), before + 1);

    // Without the read's own time limit this would never return, and the test would run into its timeout.
    const auto items = pasteboard.contents();
    EXPECT_EQ(items, std::vector<PasteboardItem>{PasteboardItem{}});
    xcb_disconnect(c);
}
