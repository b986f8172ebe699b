#include "FakeKeys.h"
#include "TestWindow.h"

#include "System/Input/InputError.h"
#include "System/Input/KeyboardMap.h"
#include "System/Input/X11Connection.h"
#include "System/Input/X11KeyboardMonitor.h"
#include "System/Input/X11SyntheticKeyboard.h"

#include <gtest/gtest.h>

// xkb.h names a member `explicit`, which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

using namespace System::Input;
using namespace std::chrono_literals;

namespace {

// Collects the events a tap delivers on its own thread.
class Recorder {
public:
    KeyHandler handler() {
        return [this](const KeyEvent& event) {
            std::lock_guard lock(mutex_);
            events_.push_back(event);
            changed_.notify_all();
        };
    }
    // Waits for `count` events in all and returns them.
    std::vector<KeyEvent> waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return events_.size() >= count; });
        return events_;
    }
    std::vector<KeyEvent> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<KeyEvent> events_;
};

// The characters of UTF-8 text, each as its bytes.
std::vector<std::string> charactersOf(const std::string& text) {
    std::vector<std::string> characters;
    for (const char byte : text) {
        if ((static_cast<unsigned char>(byte) & 0xC0) != 0x80 || characters.empty()) {
            characters.emplace_back();
        }
        characters.back() += byte;
    }
    return characters;
}

int unusedKeyCodes() {
    X11Connection connection;
    const auto map = connection.keyboardMap();
    int count = 0;
    for (int code = map.minKeyCode(); code <= map.maxKeyCode(); ++code) {
        count += map.isUnused(KeyCode(code)) ? 1 : 0;
    }
    return count;
}

// The modifiers the server's keyboard has locked (Caps Lock, Num Lock).
unsigned lockedModifiers() {
    X11Connection connection;
    auto* c = connection.get();
    std::free(xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, 1, 0), nullptr));
    auto* state = xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr);
    EXPECT_NE(state, nullptr) << "cannot read the keyboard's state";
    const unsigned locked = state ? state->lockedMods : 0;
    std::free(state);
    return locked;
}

constexpr auto flagsChanged = KeyEvent::Type::flagsChanged;
constexpr auto keyDown = KeyEvent::Type::keyDown;

} // namespace

TEST(X11InputTests, probesFindRawKeyEventsAndXTest) {
    EXPECT_TRUE(X11KeyboardMonitor::canReadKeyEvents());
    EXPECT_TRUE(X11SyntheticKeyboard::isAvailable());
    EXPECT_TRUE(X11SyntheticKeyboard().canPostEvents());
}

TEST(X11InputTests, tapSeesModifierChangesAndKeyDownsOfTheWholeSession) {
    using namespace ModifierFlag;
    X11KeyboardMonitor monitor;
    Recorder recorder;
    auto tap = monitor.startTap("key-tap-test", {}, recorder.handler());
    FakeKeys keys;

    keys.press(KeySyms::altR);
    keys.press(0x61); // a
    keys.release(0x61);
    keys.press(KeySyms::menu);
    keys.release(KeySyms::menu);
    keys.release(KeySyms::altR);
    keys.press(KeySyms::superR);
    keys.release(KeySyms::superR);
    keys.sync();

    const std::vector<KeyEvent> expected{
        {flagsChanged, 61, rightOption | option},
        {keyDown, VirtualKey::other, rightOption | option},
        {flagsChanged, 63, rightOption | option | function},
        {flagsChanged, 63, rightOption | option},
        {flagsChanged, 61, 0},
        {flagsChanged, 54, rightCommand | command},
        {flagsChanged, 54, 0},
    };
    EXPECT_EQ(recorder.waitFor(expected.size()), expected);
}

TEST(X11InputTests, destroyedTapDeliversNothingMore) {
    X11KeyboardMonitor monitor;
    Recorder recorder;
    FakeKeys keys;
    {
        auto tap = monitor.startTap("key-tap-test", {}, recorder.handler());
        keys.tap(KeySyms::controlR);
        keys.sync();
        ASSERT_EQ(recorder.waitFor(2).size(), 2u);
    }
    keys.tap(KeySyms::controlR);
    keys.sync();
    // A fresh tap sees the next keys, so the server has delivered them by the time it reports them.
    Recorder later;
    auto tap = monitor.startTap("key-tap-test", {}, later.handler());
    keys.tap(KeySyms::shiftR);
    keys.sync();
    ASSERT_EQ(later.waitFor(2).size(), 2u);
    EXPECT_EQ(recorder.events().size(), 2u);
}

TEST(X11InputTests, liveModifierStateFollowsTheKeysHeld) {
    using namespace ModifierFlag;
    X11KeyboardMonitor monitor;
    FakeKeys keys;
    EXPECT_EQ(monitor.currentModifierFlags(), 0u);
    keys.press(KeySyms::altR);
    keys.press(KeySyms::altL);
    keys.sync();
    EXPECT_EQ(monitor.currentModifierFlags(), rightOption | leftOption | option);
    keys.release(KeySyms::altR);
    keys.sync();
    EXPECT_EQ(monitor.currentModifierFlags(), leftOption | option);
    keys.release(KeySyms::altL);
    keys.press(KeySyms::menu);
    keys.sync();
    EXPECT_EQ(monitor.currentModifierFlags(), function);
    keys.release(KeySyms::menu);
    keys.sync();
    EXPECT_EQ(monitor.currentModifierFlags(), 0u);
}

TEST(X11InputTests, typedTextArrivesExactlyInTheFocusedWindow) {
    TestWindow window;
    X11SyntheticKeyboard keyboard;
    const std::pair<std::u32string, std::string> cases[] = {
        {U"café – naïve", "café – naïve"},
        {U"مرحبا", "مرحبا"},
        {U"Line one\nline two\ttab", "Line one\nline two\ttab"},
        {U"The quick brown fox jumps over the lazy dog! 0123456789 ÀÉÎÕÜ ßçñ αβγδ",
         "The quick brown fox jumps over the lazy dog! 0123456789 ÀÉÎÕÜ ßçñ αβγδ"},
        {U"a\x1b"
         U"b",
         "ab"}, // control characters are left out
    };
    for (const auto& [typed, expected] : cases) {
        window.clear();
        keyboard.typeText(typed);
        EXPECT_TRUE(window.waitForText(expected))
            << "got \"" << window.text() << "\", expected \"" << expected << "\"";
    }
}

TEST(X11InputTests, moreCharactersOutsideTheLayoutThanSpareKeyCodesAllArrive) {
    TestWindow window;
    X11SyntheticKeyboard keyboard;
    const std::string expected = "абвгдеёжзийклмнопрстуфхцчшщъыьэюя АБВГДЕЁЖЗИЙ";
    ASSERT_GT(charactersOf(expected).size(), std::size_t(unusedKeyCodes())) << "no keycode changes hands";

    keyboard.typeText(U"абвгдеёжзийклмнопрстуфхцчшщъыьэюя АБВГДЕЁЖЗИЙ");

    // A window that reads a key only after its keycode has changed hands decodes the newer character: the
    // keyboard keeps that rare, but a busy machine can hold the window up for that long. However late the
    // window reads, each character typed gives one character, and each is one of those typed.
    const auto typed = charactersOf(expected);
    const auto allArrived = [&](const std::string& text) {
        return charactersOf(text).size() >= typed.size();
    };
    EXPECT_TRUE(window.waitForText(allArrived)) << "got \"" << window.text() << "\"";
    const auto got = charactersOf(window.text());
    EXPECT_EQ(got.size(), typed.size()) << window.text();
    for (const auto& character : got) {
        EXPECT_NE(std::ranges::find(typed, character), typed.end()) << character << " in " << window.text();
    }
}

TEST(X11InputTests, typingGivesTheSpareKeyCodesBackAtTheEnd) {
    const int before = unusedKeyCodes();
    {
        TestWindow window;
        X11SyntheticKeyboard keyboard;
        keyboard.typeText(U"ünïcödé");
        ASSERT_TRUE(window.waitForText("ünïcödé"));
        EXPECT_LT(unusedKeyCodes(), before);
    }
    EXPECT_EQ(unusedKeyCodes(), before);
}

TEST(X11InputTests, pasteShortcutIsControlWithTheVKey) {
    TestWindow window;
    X11SyntheticKeyboard keyboard;
    keyboard.postPasteShortcut();
    // With no clipboard owner the window's request is refused, but it was made: Control-V arrived.
    EXPECT_TRUE(window.waitForPastes(1));
    EXPECT_EQ(window.text(), "");
}

TEST(X11InputTests, typedTextIsExactWhateverLockOrLevelModifierIsActive) {
    constexpr std::uint32_t capsLock = 0xffe5;
    constexpr std::uint32_t numLock = 0xff7f;
    constexpr std::uint32_t shiftL = 0xffe1;
    struct Case {
        const char* name;
        std::vector<std::uint32_t> toggled; // tapped once before typing, and again after
        std::vector<std::uint32_t> held;    // held down while typing
    };
    const Case cases[] = {
        {"Caps Lock", {capsLock}, {}},
        {"Num Lock", {numLock}, {}},
        {"Shift held", {}, {shiftL}},
        {"third level held", {}, {KeySyms::isoLevel3Shift}},
        {"Caps Lock and Num Lock with Shift held", {capsLock, numLock}, {shiftL}},
    };
    const std::string text = "hello World, 42 + 7 = café!";
    TestWindow window;
    X11SyntheticKeyboard keyboard;
    FakeKeys keys;
    ASSERT_EQ(lockedModifiers(), 0u);
    for (const auto& c : cases) {
        for (auto keySym : c.toggled) {
            keys.tap(keySym);
        }
        for (auto keySym : c.held) {
            keys.press(keySym);
        }
        keys.sync();
        const unsigned locks = lockedModifiers();
        EXPECT_EQ(locks != 0, !c.toggled.empty()) << c.name;
        window.clear();
        keyboard.typeText(U"hello World, 42 + 7 = café!");
        EXPECT_TRUE(window.waitForText(text)) << c.name << ": got \"" << window.text() << "\"";
        EXPECT_EQ(lockedModifiers(), locks) << c.name << ": the locks were not given back";
        for (auto keySym : c.held) {
            keys.release(keySym);
        }
        for (auto keySym : c.toggled) {
            keys.tap(keySym);
        }
        keys.sync();
        ASSERT_EQ(lockedModifiers(), 0u) << c.name;
    }
}

TEST(X11InputTests, withheldKeysReachNoApplicationWhileTheTapRunsWhateverLocksAreOn) {
    constexpr std::uint32_t capsLock = 0xffe5;
    constexpr std::uint32_t numLock = 0xff7f;
    constexpr unsigned long one = 0x31;
    TestWindow window;
    FakeKeys keys;
    X11KeyboardMonitor monitor;
    Recorder recorder;
    const std::vector<std::vector<std::uint32_t>> lockStates{{}, {capsLock}, {numLock}, {capsLock, numLock}};
    {
        auto tap = monitor.startTap("key-tap-test", {VirtualKey::function, VirtualKey::rightOption},
                                    recorder.handler());
        for (const auto& locks : lockStates) {
            for (auto lock : locks) {
                keys.tap(lock);
            }
            keys.tap(KeySyms::menu);
            keys.tap(KeySyms::altR); // a modifier: withheld from nobody
            keys.tap(one);           // the window has seen everything before it once it sees this
            for (auto lock : locks) {
                keys.tap(lock);
            }
        }
        keys.sync();
        ASSERT_TRUE(window.waitForText("1111")) << "got \"" << window.text() << "\"";
        const auto seen = window.keySymsPressed();
        EXPECT_EQ(std::count(seen.begin(), seen.end(), KeySyms::menu), 0);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), KeySyms::altR), 4);
        // Each lock tap and "1" as a key-down, Menu and Alt_R pressed and released.
        const auto events = recorder.waitFor(28);
        EXPECT_EQ(
            std::count(events.begin(), events.end(), KeyEvent{flagsChanged, 63, ModifierFlag::function}), 4)
            << "the tap itself still sees the withheld key";
    }
    window.clear();
    keys.tap(KeySyms::menu);
    keys.tap(one);
    keys.sync();
    ASSERT_TRUE(window.waitForText("1"));
    const auto seen = window.keySymsPressed();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), KeySyms::menu), 1) << "the key is given back with the tap";
}
