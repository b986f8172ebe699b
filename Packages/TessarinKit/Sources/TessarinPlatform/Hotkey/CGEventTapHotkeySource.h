#pragma once

#include "System/Concurrency/AsyncStream.h"
#include "System/Concurrency/Executor.h"
#include "System/Concurrency/SerialQueue.h"
#include "System/Input/KeyboardMonitor.h"
#include "TessarinCore/Ports/HotkeyEventSource.h"
#include "TessarinPlatform/Hotkey/TapError.h"

#include <memory>
#include <vector>

namespace TessarinPlatform {

// Watches the dictation keys across the whole session through a listen-only key tap and reports their presses
// and releases, and any other key input while one is held, as a stream that keeps the newest 128 events.
// The keys are modifier-like, so presses and releases are read from modifier-flag changes. The tap's handler
// runs on the tap's own thread; while a dictation key is held, a watchdog polls the live modifier state every
// 100 ms and reports a release the tap missed. One mutex guards everything the tap thread, the watchdog and
// the callers share.
class CGEventTapHotkeySource final : public TessarinCore::HotkeyEventSource {
public:
    static constexpr std::size_t bufferedEvents = 128;
    static constexpr System::Concurrency::Duration watchdogInterval =
        System::Concurrency::Duration::milliseconds(100);

    // The X session's keyboard, with the watchdog on its own serial queue "com.tessarin.hotkey.watchdog".
    CGEventTapHotkeySource();
    // The given keyboard; the watchdog runs on `watchdogExecutor`, whose clock stamps every event (tests).
    CGEventTapHotkeySource(std::shared_ptr<System::Input::KeyboardMonitor> keyboard,
                           System::Concurrency::Executor& watchdogExecutor);
    // Tears the tap down and finishes the stream.
    ~CGEventTapHotkeySource() override;
    CGEventTapHotkeySource(const CGEventTapHotkeySource&) = delete;
    CGEventTapHotkeySource& operator=(const CGEventTapHotkeySource&) = delete;

    // Finishes any previous stream, then starts watching exactly these keys. Throws TapError when the
    // session's key input cannot be read.
    System::Concurrency::AsyncStream<TessarinCore::HotkeyEvent>
    start(std::vector<TessarinCore::Hotkey> monitoring) override;
    void stop() override;

    // Whether the flags hold the key down. fn is read from its own flag; side-specific reading uses the
    // key's own device bit, otherwise every bit of the modifier kind it shares with its twin must be set.
    static bool isDown(const TessarinCore::Hotkey& key, System::Input::ModifierFlags flags,
                       bool sideSpecific);

private:
    struct Shared;
    CGEventTapHotkeySource(std::shared_ptr<System::Input::KeyboardMonitor> keyboard,
                           std::unique_ptr<System::Concurrency::SerialQueue> ownQueue,
                           System::Concurrency::Executor* watchdogExecutor);

    // Declared first so it is destroyed last: its worker finishes any watchdog check still running.
    std::unique_ptr<System::Concurrency::SerialQueue> ownQueue_;
    std::shared_ptr<Shared> shared_;
};

} // namespace TessarinPlatform
