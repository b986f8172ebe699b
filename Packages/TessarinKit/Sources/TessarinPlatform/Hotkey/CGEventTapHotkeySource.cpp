#include "TessarinPlatform/Hotkey/CGEventTapHotkeySource.h"

#include "System/Input/InputError.h"
#include "System/Input/X11KeyboardMonitor.h"
#include "System/Log/Logger.h"
#include "TessarinPlatform/Hotkey/KeyName.h"

#include <array>
#include <mutex>
#include <optional>
#include <utility>

namespace TessarinPlatform {

using System::Concurrency::AsyncStream;
using System::Concurrency::BufferingPolicy;
using System::Concurrency::Executor;
using System::Concurrency::Instant;
using System::Concurrency::ScheduledWork;
using System::Concurrency::SerialQueue;
using System::Input::KeyEvent;
using System::Input::ModifierFlags;
using TessarinCore::Hotkey;
using TessarinCore::HotkeyEvent;

namespace {

const System::Log::Logger logger{"com.tessarin.Tessarin", "Hotkey"};

namespace Flag = System::Input::ModifierFlag;
namespace Key = System::Input::VirtualKey;

// A key-down that is never other input.
constexpr std::uint16_t ignoredKeyCodes[] = {179};

// The device-dependent bit of one physical modifier key.
constexpr std::array<std::pair<std::uint16_t, ModifierFlags>, 8> sideSpecificMasks{{
    {Key::leftControl, Flag::leftControl},
    {Key::leftShift, Flag::leftShift},
    {Key::rightShift, Flag::rightShift},
    {Key::leftCommand, Flag::leftCommand},
    {Key::rightCommand, Flag::rightCommand},
    {Key::leftOption, Flag::leftOption},
    {Key::rightOption, Flag::rightOption},
    {Key::rightControl, Flag::rightControl},
}};

// The modifier bit the left and right key share.
constexpr std::array<std::pair<std::uint16_t, ModifierFlags>, 8> sideAgnosticMasks{{
    {Key::leftControl, Flag::control},
    {Key::rightControl, Flag::control},
    {Key::leftShift, Flag::shift},
    {Key::rightShift, Flag::shift},
    {Key::leftCommand, Flag::command},
    {Key::rightCommand, Flag::command},
    {Key::leftOption, Flag::option},
    {Key::rightOption, Flag::option},
}};

std::optional<ModifierFlags> mask(const std::array<std::pair<std::uint16_t, ModifierFlags>, 8>& table,
                                  std::uint16_t keyCode) {
    for (const auto& [code, bits] : table) {
        if (code == keyCode) {
            return bits;
        }
    }
    return std::nullopt;
}

std::string names(const std::vector<Hotkey>& keys) {
    std::string joined;
    for (const auto& key : keys) {
        joined += (joined.empty() ? "" : ", ") + keyName(key);
    }
    return joined;
}

} // namespace

struct CGEventTapHotkeySource::Shared : std::enable_shared_from_this<Shared> {
    using Continuation = AsyncStream<HotkeyEvent>::Continuation;

    // Everything the tap thread, the watchdog and the callers share; the initial value is the torn-down one.
    struct State {
        std::vector<Hotkey> hotkeys;
        std::optional<Hotkey> held;
        std::optional<Continuation> continuation;
        std::unique_ptr<System::Input::KeyTap> tap;
        std::optional<ScheduledWork> watchdog;
        // Which run the state belongs to, and which watchdog is the live one: a stream's termination or a
        // watchdog check that comes late for a run or a timer already replaced changes nothing.
        std::uint64_t run = 0;
        std::uint64_t watchdogTimer = 0;
    };

    Shared(std::shared_ptr<System::Input::KeyboardMonitor> keyboard, Executor& watchdogExecutor)
        : keyboard(std::move(keyboard))
        , watchdogExecutor(watchdogExecutor) {}

    std::shared_ptr<System::Input::KeyboardMonitor> keyboard;
    Executor& watchdogExecutor;
    std::mutex mutex;
    State state;
    std::uint64_t runs = 0;
    std::uint64_t timers = 0;

    // Resets the state; `onlyRun` limits it to one run. The tap is stopped and the stream finished after the
    // lock is released: stopping waits for the tap thread, which may be waiting for the lock, and finishing
    // runs the stream's termination handler, which takes it.
    void tearDown(std::optional<std::uint64_t> onlyRun = std::nullopt) {
        State old;
        {
            std::lock_guard lock(mutex);
            if (onlyRun && *onlyRun != state.run) {
                return;
            }
            if (state.watchdog) {
                state.watchdog->cancel();
            }
            old = std::exchange(state, State{});
        }
        old.tap.reset();
        if (old.continuation) {
            old.continuation->finish();
        }
    }

    void yield(HotkeyEvent event) {
        if (state.continuation) {
            state.continuation->yield(std::move(event));
        }
    }

    void handle(const KeyEvent& event) {
        const Instant now = watchdogExecutor.now();
        std::lock_guard lock(mutex);
        if (event.type == KeyEvent::Type::keyDown) {
            for (auto ignored : ignoredKeyCodes) {
                if (event.keyCode == ignored) {
                    return;
                }
            }
            if (state.held) {
                yield(HotkeyEvent::otherInput(now));
            }
            return;
        }
        const auto key = std::find_if(state.hotkeys.begin(), state.hotkeys.end(),
                                      [&](const Hotkey& h) { return h.keyCode == event.keyCode; });
        if (key == state.hotkeys.end()) {
            // A change of another modifier while a dictation key is held.
            if (state.held) {
                yield(HotkeyEvent::otherInput(now));
            }
            return;
        }
        const bool down = isDown(*key, event.flags, true);
        if (down && !state.held) {
            state.held = *key;
            yield(HotkeyEvent::pressed(*key, now));
            startWatchdog(now);
        } else if (down && *state.held != *key) {
            yield(HotkeyEvent::pressed(*key, now));
        } else if (!down && state.held == *key) {
            state.held.reset();
            yield(HotkeyEvent::released(*key, now));
            stopWatchdog();
        }
    }

    // With the lock held.
    void startWatchdog(Instant now) {
        stopWatchdog();
        state.watchdogTimer = ++timers;
        scheduleCheck(now + watchdogInterval, state.watchdogTimer);
    }
    void stopWatchdog() {
        if (state.watchdog) {
            state.watchdog->cancel();
        }
        state.watchdog.reset();
        state.watchdogTimer = 0;
    }
    void scheduleCheck(Instant deadline, std::uint64_t timer) {
        state.watchdog = watchdogExecutor.scheduleAt(deadline, [weak = weak_from_this(), deadline, timer] {
            if (auto shared = weak.lock()) {
                shared->checkHeld(deadline, timer);
            }
        });
    }

    // On the watchdog's executor.
    void checkHeld(Instant deadline, std::uint64_t timer) {
        // A round trip to the display server: made before taking the lock.
        const ModifierFlags flags = keyboard->currentModifierFlags();
        std::lock_guard lock(mutex);
        if (timer != state.watchdogTimer || !state.held) {
            return;
        }
        if (isDown(*state.held, flags, false)) {
            scheduleCheck(deadline + watchdogInterval, timer);
            return;
        }
        const Hotkey key = *state.held;
        logger.notice("Watchdog: {} was released without an event", System::Log::Public(keyName(key)));
        state.held.reset();
        yield(HotkeyEvent::released(key, watchdogExecutor.now()));
        stopWatchdog();
    }
};

CGEventTapHotkeySource::CGEventTapHotkeySource()
    : CGEventTapHotkeySource(std::make_shared<System::Input::X11KeyboardMonitor>(),
                             std::make_unique<SerialQueue>("com.tessarin.hotkey.watchdog"), nullptr) {}

CGEventTapHotkeySource::CGEventTapHotkeySource(std::shared_ptr<System::Input::KeyboardMonitor> keyboard,
                                               Executor& watchdogExecutor)
    : CGEventTapHotkeySource(std::move(keyboard), nullptr, &watchdogExecutor) {}

CGEventTapHotkeySource::CGEventTapHotkeySource(std::shared_ptr<System::Input::KeyboardMonitor> keyboard,
                                               std::unique_ptr<SerialQueue> ownQueue,
                                               Executor* watchdogExecutor)
    : ownQueue_(std::move(ownQueue))
    , shared_(std::make_shared<Shared>(std::move(keyboard), ownQueue_ ? *ownQueue_ : *watchdogExecutor)) {}

CGEventTapHotkeySource::~CGEventTapHotkeySource() {
    shared_->tearDown();
}

AsyncStream<HotkeyEvent> CGEventTapHotkeySource::start(std::vector<Hotkey> monitoring) {
    shared_->tearDown();
    // A dictation key that is no modifier would reach the focused application too: it is withheld from it
    // for as long as it is watched.
    std::vector<std::uint16_t> withheld;
    for (const auto& key : monitoring) {
        withheld.push_back(key.keyCode);
    }
    std::unique_ptr<System::Input::KeyTap> tap;
    try {
        tap = shared_->keyboard->startTap("com.tessarin.hotkey-tap", withheld,
                                          [weak = std::weak_ptr(shared_)](const KeyEvent& event) {
                                              if (auto shared = weak.lock()) {
                                                  shared->handle(event);
                                              }
                                          });
    } catch (const System::Input::InputError& error) {
        logger.error("Cannot watch the keyboard: {}", System::Log::Public(error.description()));
        throw TapError(TapError::Kind::inputMonitoringNotGranted);
    }
    auto [stream, continuation] =
        AsyncStream<HotkeyEvent>::makeStream(BufferingPolicy::bufferingNewest(bufferedEvents));
    const auto names = TessarinPlatform::names(monitoring);
    std::uint64_t run = 0;
    {
        std::lock_guard lock(shared_->mutex);
        run = ++shared_->runs;
        shared_->state.hotkeys = std::move(monitoring);
        shared_->state.continuation = continuation;
        shared_->state.tap = std::move(tap);
        shared_->state.run = run;
    }
    // A consumer that stops iterating, or whose task is cancelled, removes the tap.
    continuation.onTermination([weak = std::weak_ptr(shared_), run](System::Concurrency::StreamTermination) {
        if (auto shared = weak.lock()) {
            shared->tearDown(run);
        }
    });
    logger.info("Watching the keyboard for {}", System::Log::Public(names));
    return std::move(stream);
}

void CGEventTapHotkeySource::stop() {
    shared_->tearDown();
}

bool CGEventTapHotkeySource::isDown(const Hotkey& key, ModifierFlags flags, bool sideSpecific) {
    if (key.keyCode == Hotkey::function().keyCode) {
        return (flags & Flag::function) != 0;
    }
    if (auto bits = mask(sideSpecificMasks, key.keyCode); sideSpecific && bits) {
        return (flags & *bits) != 0;
    }
    if (auto bits = mask(sideAgnosticMasks, key.keyCode)) {
        return (flags & *bits) == *bits;
    }
    return false;
}

} // namespace TessarinPlatform
