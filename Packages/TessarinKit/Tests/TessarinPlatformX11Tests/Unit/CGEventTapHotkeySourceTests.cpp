#include "System/Concurrency/ManualExecutor.h"
#include "System/Input/FakeKeyboardMonitor.h"
#include "System/Log/Logger.h"
#include "TessarinPlatform/Hotkey/CGEventTapHotkeySource.h"

#include <gtest/gtest.h>

using namespace TessarinPlatform;
using System::Input::KeyEvent;
using TessarinCore::Hotkey;
using TessarinCore::HotkeyEvent;
namespace Con = System::Concurrency;
namespace Flag = System::Input::ModifierFlag;

namespace {

constexpr auto flagsChanged = KeyEvent::Type::flagsChanged;
constexpr auto keyDown = KeyEvent::Type::keyDown;

// Reads a stream on the manual executor into a list. What it reads lives as long as the reading task, which
// may end after the consumer object is gone.
struct Consumer {
    struct Read {
        std::vector<HotkeyEvent> events;
        bool ended = false;
    };
    std::shared_ptr<Read> read = std::make_shared<Read>();
    std::vector<HotkeyEvent>& events = read->events;
    bool& ended = read->ended;
    Con::TaskHandle<void> handle;

    static Con::Task<void> consume(Con::AsyncStream<HotkeyEvent> stream, std::shared_ptr<Read> read) {
        while (auto event = co_await stream.next()) {
            read->events.push_back(*event);
        }
        read->ended = true;
    }
    Consumer(Con::ManualExecutor& executor, Con::AsyncStream<HotkeyEvent> stream)
        : handle(Con::spawn(executor, consume(std::move(stream), read))) {}
};

class HotkeySourceTest : public ::testing::Test {
protected:
    Con::ManualExecutor executor;
    std::shared_ptr<System::Input::FakeKeyboardMonitor> keyboard =
        std::make_shared<System::Input::FakeKeyboardMonitor>();
    CGEventTapHotkeySource source{keyboard, executor};

    // Ends every stream and lets its reader finish, so no task outlives the executor.
    void TearDown() override {
        source.stop();
        executor.runUntilIdle();
    }

    Consumer start(std::vector<Hotkey> keys) {
        Consumer consumer(executor, source.start(std::move(keys)));
        executor.runUntilIdle();
        return consumer;
    }
    // The keyboard reports a change: the flags now held, in the live state as well.
    void flags(std::uint16_t keyCode, System::Input::ModifierFlags flags) {
        keyboard->setFlags(flags);
        keyboard->emit({flagsChanged, keyCode, flags});
        executor.runUntilIdle();
    }
    void keyDownOf(std::uint16_t keyCode) {
        keyboard->emit({keyDown, keyCode, keyboard->currentModifierFlags()});
        executor.runUntilIdle();
    }
    HotkeyEvent pressed(const Hotkey& key) { return HotkeyEvent::pressed(key, executor.now()); }
    HotkeyEvent released(const Hotkey& key) { return HotkeyEvent::released(key, executor.now()); }
    HotkeyEvent other() { return HotkeyEvent::otherInput(executor.now()); }
};

const Hotkey& rightOption = Hotkey::rightOption();
const Hotkey& function = Hotkey::function();

} // namespace

TEST_F(HotkeySourceTest, pressAndReleaseOfAWatchedKey) {
    auto consumer = start({rightOption});
    EXPECT_EQ(keyboard->lastThreadName, "com.tessarin.hotkey-tap");
    const auto pressedAt = pressed(rightOption);
    flags(61, Flag::rightOption | Flag::option);
    executor.advance(CGEventTapHotkeySource::watchdogInterval);
    EXPECT_EQ(keyboard->flagReads, 1) << "the watchdog checks while the key is held";
    flags(61, 0);
    EXPECT_EQ(consumer.events, (std::vector{pressedAt, released(rightOption)}));
    executor.advance(CGEventTapHotkeySource::watchdogInterval * 10);
    EXPECT_EQ(keyboard->flagReads, 1) << "the release cancels the watchdog";
}

TEST_F(HotkeySourceTest, theWatchedKeysAreWithheldFromApplicationsUntilTheBindingGoes) {
    auto consumer = start({function, rightOption});
    EXPECT_EQ(keyboard->lastWithheld, (std::vector<std::uint16_t>{63, 61}));
    EXPECT_TRUE(keyboard->isTapRunning());
    source.stop();
    EXPECT_FALSE(keyboard->isTapRunning()) << "the tap, and with it what it withholds, is gone";
    auto next = start({rightOption});
    EXPECT_EQ(keyboard->lastWithheld, (std::vector<std::uint16_t>{61}));
}

TEST_F(HotkeySourceTest, fnIsReadFromItsOwnFlagOnly) {
    auto consumer = start({function});
    flags(63, Flag::option); // no fn bit: not down
    flags(63, Flag::function);
    flags(63, Flag::function | Flag::shift);
    flags(63, Flag::shift);
    EXPECT_EQ(consumer.events, (std::vector{pressed(function), released(function)}));
}

TEST_F(HotkeySourceTest, otherInputOnlyWhileAKeyIsHeld) {
    auto consumer = start({rightOption});
    keyDownOf(0);                               // nothing held: nothing
    flags(58, Flag::leftOption | Flag::option); // an unwatched modifier, nothing held: nothing
    flags(58, 0);
    flags(61, Flag::rightOption | Flag::option);
    keyDownOf(179); // never other input
    keyDownOf(0);
    flags(58, Flag::leftOption | Flag::rightOption | Flag::option);
    // Right Option released while left Option stays down: the device bit decides, not the shared one.
    flags(61, Flag::leftOption | Flag::option);
    EXPECT_EQ(consumer.events, (std::vector{pressed(rightOption), other(), other(), released(rightOption)}));
}

TEST_F(HotkeySourceTest, aSecondWatchedKeyWhileTheFirstIsHeld) {
    const Hotkey& rightCommand = Hotkey::rightCommand();
    auto consumer = start({rightOption, rightCommand});
    flags(61, Flag::rightOption | Flag::option);
    flags(54, Flag::rightOption | Flag::option | Flag::rightCommand | Flag::command);
    flags(54, Flag::rightOption | Flag::option); // not the held key: nothing
    flags(61, 0);
    EXPECT_EQ(consumer.events,
              (std::vector{pressed(rightOption), pressed(rightCommand), released(rightOption)}));
}

TEST_F(HotkeySourceTest, aKeyInNeitherTableIsNeverDown) {
    const Hotkey odd{12, "Q"};
    auto consumer = start({odd});
    flags(12, ~System::Input::ModifierFlags{0});
    EXPECT_TRUE(consumer.events.empty());
    EXPECT_FALSE(CGEventTapHotkeySource::isDown(odd, ~System::Input::ModifierFlags{0}, false));
}

TEST_F(HotkeySourceTest, watchdogReportsAReleaseTheTapMissed) {
    System::Log::CaptureSink log;
    auto consumer = start({rightOption});
    flags(61, Flag::rightOption | Flag::option);
    // Still down on later checks: nothing.
    executor.advance(CGEventTapHotkeySource::watchdogInterval * 3);
    EXPECT_EQ(consumer.events.size(), 1u);
    // The release never reaches the tap; the live state shows it.
    keyboard->setFlags(0);
    executor.advance(CGEventTapHotkeySource::watchdogInterval);
    EXPECT_EQ(consumer.events,
              (std::vector{HotkeyEvent::pressed(
                               rightOption, executor.now() - CGEventTapHotkeySource::watchdogInterval * 4),
                           released(rightOption)}));
    EXPECT_EQ(log.messages("Hotkey").back(), "Watchdog: Right Alt was released without an event");
    const int reads = keyboard->flagReads;
    executor.advance(CGEventTapHotkeySource::watchdogInterval * 10);
    EXPECT_EQ(keyboard->flagReads, reads) << "the watchdog ends with the release";
    flags(61, 0); // the late release itself: nothing more
    EXPECT_EQ(consumer.events.size(), 2u);
}

TEST_F(HotkeySourceTest, watchdogReadsTheSharedBitSoATwinKeepsTheKeyDown) {
    auto consumer = start({rightOption});
    flags(61, Flag::rightOption | Flag::option);
    keyboard->setFlags(Flag::leftOption | Flag::option);
    executor.advance(CGEventTapHotkeySource::watchdogInterval * 2);
    EXPECT_EQ(consumer.events.size(), 1u);
}

TEST_F(HotkeySourceTest, startAgainFinishesTheFirstStreamBeforeTheSecondTap) {
    auto first = start({rightOption});
    auto second = start({function});
    EXPECT_TRUE(first.ended);
    EXPECT_FALSE(second.ended);
    EXPECT_EQ(keyboard->tapsStarted, 2);
    flags(63, Flag::function);
    EXPECT_TRUE(first.events.empty());
    EXPECT_EQ(second.events, (std::vector{pressed(function)}));
}

TEST_F(HotkeySourceTest, anEmptyListStillInstallsTheTap) {
    System::Log::CaptureSink log;
    auto consumer = start({});
    EXPECT_TRUE(keyboard->isTapRunning());
    EXPECT_EQ(log.messages("Hotkey"), (std::vector<std::string>{"Watching the keyboard for "}));
    flags(61, Flag::rightOption | Flag::option);
    keyDownOf(0);
    EXPECT_TRUE(consumer.events.empty());
}

// The log names the keys as a PC keyboard prints them, not by the names the settings store.
TEST_F(HotkeySourceTest, theLogNamesTheWatchedKeysByTheirPCNames) {
    System::Log::CaptureSink log;
    auto consumer = start({function, rightOption, Hotkey{96, "F5"}});
    EXPECT_EQ(log.messages("Hotkey"),
              (std::vector<std::string>{"Watching the keyboard for Menu key, Right Alt, F5"}));
}

TEST_F(HotkeySourceTest, stopEndsTheStreamAndTheTap) {
    source.stop(); // nothing running: no effect
    auto consumer = start({rightOption});
    flags(61, Flag::rightOption | Flag::option);
    source.stop();
    executor.runUntilIdle();
    EXPECT_TRUE(consumer.ended);
    EXPECT_FALSE(keyboard->isTapRunning());
    executor.advance(CGEventTapHotkeySource::watchdogInterval * 10);
    EXPECT_EQ(keyboard->flagReads, 0) << "no watchdog outlives the run";
    source.stop();
}

TEST_F(HotkeySourceTest, aConsumerThatGivesUpRemovesTheTap) {
    auto consumer = start({rightOption});
    consumer.handle.cancel();
    executor.runUntilIdle();
    EXPECT_TRUE(consumer.ended);
    EXPECT_FALSE(keyboard->isTapRunning());
}

TEST_F(HotkeySourceTest, withoutAccessStartThrowsAndStopIsHarmless) {
    auto first = start({rightOption});
    keyboard->refuses = true;
    EXPECT_THROW(
        {
            try {
                source.start({rightOption});
            } catch (const TapError& error) {
                EXPECT_EQ(error, TapError(TapError::Kind::inputMonitoringNotGranted));
                EXPECT_EQ(error.description(), "Parlindo can't watch the dictation keys: it needs an X display "
                                               "with the XInput2 extension (an X11 session, or XWayland).");
                throw;
            }
        },
        TapError);
    executor.runUntilIdle();
    EXPECT_TRUE(first.ended) << "the previous stream is finished first";
    source.stop();
}

TEST_F(HotkeySourceTest, keepsTheNewest128EventsForASlowConsumer) {
    auto stream = source.start({rightOption});
    for (int i = 0; i < 100; ++i) {
        keyboard->emit({flagsChanged, 61, Flag::rightOption | Flag::option});
        keyboard->emit({flagsChanged, 61, 0});
    }
    Consumer consumer(executor, std::move(stream));
    executor.runUntilIdle();
    ASSERT_EQ(consumer.events.size(), CGEventTapHotkeySource::bufferedEvents);
    EXPECT_EQ(consumer.events.front(), pressed(rightOption));
    EXPECT_EQ(consumer.events.back(), released(rightOption));
}
