#pragma once

#include "System/Input/InputError.h"
#include "System/Input/KeyboardMonitor.h"

#include <mutex>

namespace System::Input {

// A keyboard the test drives: `emit` calls the running tap's handler on the test's thread.
class FakeKeyboardMonitor final : public KeyboardMonitor {
public:
    std::unique_ptr<KeyTap> startTap(const std::string& threadName,
                                     const std::vector<std::uint16_t>& withheld,
                                     KeyHandler handler) override {
        std::lock_guard lock(mutex_);
        if (refuses) {
            throw InputError(InputError::Kind::extensionMissing, "XInputExtension");
        }
        lastThreadName = threadName;
        lastWithheld = withheld;
        ++tapsStarted;
        handler_ = std::make_shared<KeyHandler>(std::move(handler));
        return std::make_unique<Tap>(*this, handler_);
    }

    ModifierFlags currentModifierFlags() override {
        std::lock_guard lock(mutex_);
        ++flagReads;
        return flags;
    }

    // Delivers the event to the running tap, if there is one.
    void emit(const KeyEvent& event) {
        std::shared_ptr<KeyHandler> handler;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
        }
        if (handler) {
            (*handler)(event);
        }
    }
    void setFlags(ModifierFlags value) {
        std::lock_guard lock(mutex_);
        flags = value;
    }
    bool isTapRunning() {
        std::lock_guard lock(mutex_);
        return handler_ != nullptr;
    }

    bool refuses = false; // startTap throws, as without access to the session's key input
    int tapsStarted = 0;
    int flagReads = 0; // how often the live state was read
    std::string lastThreadName;
    std::vector<std::uint16_t> lastWithheld;
    ModifierFlags flags = 0;

private:
    struct Tap final : KeyTap {
        Tap(FakeKeyboardMonitor& monitor, std::shared_ptr<KeyHandler> handler)
            : monitor(monitor)
            , handler(std::move(handler)) {}
        ~Tap() override {
            std::lock_guard lock(monitor.mutex_);
            if (monitor.handler_ == handler) {
                monitor.handler_.reset();
            }
        }
        FakeKeyboardMonitor& monitor;
        std::shared_ptr<KeyHandler> handler;
    };

    std::mutex mutex_;
    std::shared_ptr<KeyHandler> handler_;
};

} // namespace System::Input
