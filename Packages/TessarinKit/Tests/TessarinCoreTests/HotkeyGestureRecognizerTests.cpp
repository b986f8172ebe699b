#include "TessarinCore/UseCases/HotkeyGestureRecognizer.h"

#include <gtest/gtest.h>

namespace TessarinCore {
namespace {

using Reason = HotkeyGesture::CancelReason;

Instant at(std::int64_t milliseconds) {
    return Instant::sinceOrigin(Duration::milliseconds(milliseconds));
}
Duration ms(std::int64_t milliseconds) {
    return Duration::milliseconds(milliseconds);
}

// One step of a scenario: an event (or a forced end when `force` is set) and the gesture it must give.
struct Step {
    std::optional<HotkeyEvent> event;
    std::optional<HotkeyGesture> gesture;
    std::optional<Instant> force = std::nullopt;
};

Step press(const Hotkey& key, std::int64_t t, std::optional<HotkeyGesture> gesture) {
    return {HotkeyEvent::pressed(key, at(t)), std::move(gesture)};
}
Step release(const Hotkey& key, std::int64_t t, std::optional<HotkeyGesture> gesture) {
    return {HotkeyEvent::released(key, at(t)), std::move(gesture)};
}
Step other(std::int64_t t, std::optional<HotkeyGesture> gesture) {
    return {HotkeyEvent::otherInput(at(t)), std::move(gesture)};
}
Step forceEnd(std::int64_t t, std::optional<HotkeyGesture> gesture) {
    return {std::nullopt, std::move(gesture), at(t)};
}

struct Scenario {
    const char* name;
    std::vector<Step> steps;
    bool holdingAtEnd;
};

TEST(HotkeyGestureRecognizerTests, Scenarios) {
    const Hotkey& fn = Hotkey::function();
    const Hotkey& option = Hotkey::rightOption();
    const Hotkey& shift = Hotkey::rightShift();
    const Hotkey renamedFn{63, "renamed"};
    const std::optional<HotkeyGesture> none;
    const auto begin = [](const Hotkey& key, std::int64_t t) { return HotkeyGesture::begin(key, at(t)); };
    const auto end = [](const Hotkey& key, std::int64_t held, std::int64_t t) {
        return HotkeyGesture::end(key, ms(held), at(t));
    };
    const auto cancel = [](Reason reason) { return HotkeyGesture::cancel(reason); };

    const Scenario scenarios[] = {
        {"idle ignores releases and other input", {release(fn, 0, none), other(1, none)}, false},
        {"too short",
         {press(option, 0, begin(option, 0)), release(option, 100, cancel(Reason::tooShort))},
         false},
        {"exactly the minimum hold ends",
         {press(option, 0, begin(option, 0)), release(option, 150, end(option, 150, 150))},
         false},
        {"held and released",
         {press(fn, 1000, begin(fn, 1000)), release(fn, 3500, end(fn, 2500, 3500))},
         false},
        {"other input while holding is a chord",
         {press(fn, 0, begin(fn, 0)), other(50, cancel(Reason::chord)), release(fn, 400, none)},
         false},
        {"a second dictation key is a chord and starts nothing",
         {press(fn, 0, begin(fn, 0)), press(shift, 10, cancel(Reason::chord)), release(shift, 20, none),
          release(fn, 30, none)},
         false},
        {"a dictation key pressed while awaiting release begins at once",
         {press(fn, 0, begin(fn, 0)), other(10, cancel(Reason::chord)), press(shift, 20, begin(shift, 20)),
          release(fn, 30, none)},
         true},
        {"the held key's release ends the dictation begun while awaiting",
         {press(fn, 0, begin(fn, 0)), other(10, cancel(Reason::chord)), press(shift, 20, begin(shift, 20)),
          release(fn, 30, none), release(shift, 520, end(shift, 500, 520))},
         false},
        {"releases of other keys are ignored while holding",
         {press(fn, 0, begin(fn, 0)), release(shift, 100, none), release(fn, 300, end(fn, 300, 300))},
         false},
        {"a repeated press keeps the first press instant",
         {press(fn, 0, begin(fn, 0)), press(fn, 200, none), release(fn, 500, end(fn, 500, 500))},
         false},
        {"the same key code with another name is another key",
         {press(fn, 0, begin(fn, 0)), release(renamedFn, 300, none)},
         true},
        {"a forced end absorbs the later release",
         {press(fn, 0, begin(fn, 0)), forceEnd(300000, end(fn, 300000, 300000)), release(fn, 301000, none),
          press(fn, 302000, begin(fn, 302000))},
         true},
        {"a forced end has no minimum-hold test",
         {press(fn, 0, begin(fn, 0)), forceEnd(10, end(fn, 10, 10))},
         false},
        {"a forced end while idle or awaiting release does nothing",
         {forceEnd(0, none), press(fn, 0, begin(fn, 0)), other(1, cancel(Reason::chord)), forceEnd(2, none),
          release(fn, 3, none), forceEnd(4, none)},
         false},
        {"other input while awaiting release does nothing",
         {press(fn, 0, begin(fn, 0)), other(1, cancel(Reason::chord)), other(2, none),
          release(shift, 3, none), press(fn, 4, begin(fn, 4))},
         true},
        {"after a too-short release the next press begins anew",
         {press(fn, 0, begin(fn, 0)), release(fn, 10, cancel(Reason::tooShort)),
          press(option, 20, begin(option, 20))},
         true},
    };

    for (const Scenario& scenario : scenarios) {
        HotkeyGestureRecognizer recognizer(ms(150));
        for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
            const Step& step = scenario.steps[i];
            const std::optional<HotkeyGesture> gesture =
                step.event ? recognizer.handle(*step.event) : recognizer.forceEnd(*step.force);
            EXPECT_EQ(gesture, step.gesture) << scenario.name << ", step " << i;
        }
        EXPECT_EQ(recognizer.isHolding(), scenario.holdingAtEnd) << scenario.name;
    }
}

TEST(HotkeyGestureRecognizerTests, TheMinimumHoldInForceAtTheReleaseDecides) {
    HotkeyGestureRecognizer recognizer(ms(150));
    recognizer.handle(HotkeyEvent::pressed(Hotkey::function(), at(0)));
    recognizer.minimumHold = ms(500);
    EXPECT_TRUE(recognizer.isHolding()); // changing the minimum does not touch the phase
    EXPECT_EQ(recognizer.handle(HotkeyEvent::released(Hotkey::function(), at(300))),
              HotkeyGesture::cancel(Reason::tooShort));
}

TEST(HotkeyGestureRecognizerTests, ResetReturnsToIdleAndKeepsTheMinimumHold) {
    HotkeyGestureRecognizer recognizer(ms(150));
    recognizer.handle(HotkeyEvent::pressed(Hotkey::function(), at(0)));
    recognizer.reset();
    EXPECT_FALSE(recognizer.isHolding());
    EXPECT_EQ(recognizer.minimumHold, ms(150));
    EXPECT_EQ(recognizer.handle(HotkeyEvent::released(Hotkey::function(), at(500))), std::nullopt);
    EXPECT_EQ(recognizer.handle(HotkeyEvent::pressed(Hotkey::function(), at(600))),
              HotkeyGesture::begin(Hotkey::function(), at(600)));
}

} // namespace
} // namespace TessarinCore
