#include "FakeKeys.h"

#include "System/Concurrency/ManualExecutor.h"
#include "System/Input/KeyboardMap.h"
#include "System/Input/X11KeyboardMonitor.h"
#include "TessarinPlatform/Hotkey/CGEventTapHotkeySource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace TessarinPlatform;
using System::Input::KeyEvent;
using TessarinCore::Hotkey;
using TessarinCore::HotkeyEvent;
namespace Con = System::Concurrency;
namespace KeySyms = System::Input::KeySyms;

namespace {

// The session's real keyboard, seen through a tap that can be made to lose releases and that counts what
// it delivered.
class LossyKeyboard final : public System::Input::KeyboardMonitor {
public:
    std::unique_ptr<System::Input::KeyTap> startTap(const std::string& name,
                                                    const std::vector<std::uint16_t>& withheld,
                                                    System::Input::KeyHandler handler) override {
        return real.startTap(name, withheld, [this, handler = std::move(handler)](const KeyEvent& event) {
            const bool release = event.type == KeyEvent::Type::flagsChanged && event.flags == 0;
            if (!(dropReleases && release)) {
                handler(event);
            }
            ++delivered;
        });
    }
    System::Input::ModifierFlags currentModifierFlags() override { return real.currentModifierFlags(); }

    System::Input::X11KeyboardMonitor real;
    std::atomic<bool> dropReleases{false};
    std::atomic<int> delivered{0};
};

// Reads a stream on the manual executor into a list that lives as long as the reading task.
struct Consumer {
    std::shared_ptr<std::vector<HotkeyEvent>> read = std::make_shared<std::vector<HotkeyEvent>>();
    std::vector<HotkeyEvent>& events = *read;
    Con::TaskHandle<void> handle;

    static Con::Task<void> consume(Con::AsyncStream<HotkeyEvent> stream,
                                   std::shared_ptr<std::vector<HotkeyEvent>> read) {
        while (auto event = co_await stream.next()) {
            read->push_back(*event);
        }
    }
    Consumer(Con::ManualExecutor& executor, Con::AsyncStream<HotkeyEvent> stream)
        : handle(Con::spawn(executor, consume(std::move(stream), read))) {}
};

// Ends the source's stream and lets its reader finish before the executor goes.
void finish(CGEventTapHotkeySource& source, Con::ManualExecutor& executor) {
    source.stop();
    executor.runUntilIdle();
}

// Runs the executor until the condition holds or ten seconds pass (the tap thread posts as keys arrive).
template <class Condition>
bool runUntil(Con::ManualExecutor& executor, Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (true) {
        executor.runUntilIdle();
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

const char* kind(const HotkeyEvent& event) {
    return std::holds_alternative<HotkeyEvent::Pressed>(event.value)    ? "pressed"
           : std::holds_alternative<HotkeyEvent::Released>(event.value) ? "released"
                                                                        : "other";
}

std::uint16_t keyCodeOf(const HotkeyEvent& event) {
    if (auto* pressed = std::get_if<HotkeyEvent::Pressed>(&event.value)) {
        return pressed->hotkey.keyCode;
    }
    if (auto* released = std::get_if<HotkeyEvent::Released>(&event.value)) {
        return released->hotkey.keyCode;
    }
    return 0;
}

} // namespace

TEST(HotkeySourceX11Tests, eachDictationKeyPressesAndReleases) {
    Con::ManualExecutor executor;
    auto keyboard = std::make_shared<LossyKeyboard>();
    CGEventTapHotkeySource source(keyboard, executor);
    Consumer consumer(executor, source.start(Hotkey::supported()));
    FakeKeys keys;
    const std::pair<std::uint32_t, std::uint16_t> mapped[] = {
        {KeySyms::menu, 63},   {KeySyms::altR, 61},     {KeySyms::isoLevel3Shift, 61},
        {KeySyms::superR, 54}, {KeySyms::controlR, 62}, {KeySyms::shiftR, 60},
    };
    for (const auto& [keySym, keyCode] : mapped) {
        consumer.events.clear();
        keys.tap(keySym);
        ASSERT_TRUE(runUntil(executor, [&] { return consumer.events.size() >= 2; })) << std::hex << keySym;
        EXPECT_STREQ(kind(consumer.events[0]), "pressed") << std::hex << keySym;
        EXPECT_STREQ(kind(consumer.events[1]), "released") << std::hex << keySym;
        EXPECT_EQ(keyCodeOf(consumer.events[0]), keyCode) << std::hex << keySym;
        EXPECT_EQ(keyCodeOf(consumer.events[1]), keyCode) << std::hex << keySym;
    }
    finish(source, executor);
}

TEST(HotkeySourceX11Tests, otherKeysCountOnlyWhileADictationKeyIsHeld) {
    Con::ManualExecutor executor;
    auto keyboard = std::make_shared<LossyKeyboard>();
    CGEventTapHotkeySource source(keyboard, executor);
    Consumer consumer(executor, source.start({Hotkey::rightControl()}));
    FakeKeys keys;
    keys.tap(0x61);          // a, nothing held
    keys.tap(KeySyms::altL); // another modifier, nothing held
    keys.press(KeySyms::controlR);
    keys.tap(0x62);          // b while held
    keys.tap(KeySyms::altL); // another modifier while held: its press and its release
    keys.release(KeySyms::controlR);
    keys.sync();
    ASSERT_TRUE(runUntil(executor, [&] { return keyboard->delivered == 8; }));
    std::vector<std::string> kinds;
    for (const auto& event : consumer.events) {
        kinds.push_back(kind(event));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"pressed", "other", "other", "other", "released"}));
    finish(source, executor);
}

TEST(HotkeySourceX11Tests, watchdogSuppliesAReleaseTheTapMissed) {
    Con::SerialQueue watchdog("watchdog-test");
    auto keyboard = std::make_shared<LossyKeyboard>();
    Con::ManualExecutor executor;
    CGEventTapHotkeySource source(keyboard, watchdog);
    Consumer consumer(executor, source.start({Hotkey::rightOption()}));
    FakeKeys keys;
    keyboard->dropReleases = true;
    keys.press(KeySyms::altR);
    keys.release(KeySyms::altR);
    keys.sync();
    ASSERT_TRUE(runUntil(executor, [&] { return consumer.events.size() >= 2; }));
    EXPECT_STREQ(kind(consumer.events[0]), "pressed");
    EXPECT_STREQ(kind(consumer.events[1]), "released");
    const auto heldFor = std::get<HotkeyEvent::Released>(consumer.events[1].value).at -
                         std::get<HotkeyEvent::Pressed>(consumer.events[0].value).at;
    EXPECT_GE(heldFor, CGEventTapHotkeySource::watchdogInterval) << "the release came from a watchdog check";
    finish(source, executor);
}

TEST(HotkeySourceX11Tests, aSlowConsumerGetsTheNewest128Events) {
    Con::ManualExecutor executor;
    auto keyboard = std::make_shared<LossyKeyboard>();
    CGEventTapHotkeySource source(keyboard, executor);
    auto stream = source.start({Hotkey::rightShift()});
    FakeKeys keys;
    for (int i = 0; i < 100; ++i) {
        keys.tap(KeySyms::shiftR);
    }
    keys.tap(0x61); // a, after the last release: not other input
    keys.sync();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (keyboard->delivered < 201 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(keyboard->delivered, 201);
    Consumer consumer(executor, std::move(stream));
    executor.runUntilIdle();
    ASSERT_EQ(consumer.events.size(), 128u);
    EXPECT_STREQ(kind(consumer.events.front()), "pressed");
    EXPECT_STREQ(kind(consumer.events.back()), "released");
    finish(source, executor);
}
