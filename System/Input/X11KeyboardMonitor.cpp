#include "System/Input/X11KeyboardMonitor.h"

#include "System/Input/InputError.h"
#include "System/Input/KeyboardMap.h"
#include "System/Input/X11Connection.h"

#include <xcb/xinput.h>

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace System::Input {

namespace {

// Selects raw key presses and releases of all master keyboards on the root window; answers the XInput
// extension's opcode. Throws InputError when the server cannot deliver them.
std::uint8_t selectRawKeyEvents(const X11Connection& connection) {
    auto* c = connection.get();
    const auto* extension = xcb_get_extension_data(c, &xcb_input_id);
    if (!extension || !extension->present) {
        throw InputError(InputError::Kind::extensionMissing, "XInputExtension");
    }
    auto* version = xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr);
    const bool hasVersion2 = version && version->major_version >= 2;
    std::free(version);
    if (!hasVersion2) {
        throw InputError(InputError::Kind::extensionMissing, "XInputExtension 2");
    }
    struct {
        xcb_input_event_mask_t head;
        std::uint32_t mask;
    } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
                XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE};
    auto* error =
        xcb_request_check(c, xcb_input_xi_select_events_checked(c, connection.root(), 1, &selection.head));
    if (error) {
        std::free(error);
        throw InputError(InputError::Kind::extensionMissing, "XInputExtension 2");
    }
    return extension->major_opcode;
}

// Everything the tap's thread uses. Shared with the thread, so a tap destroyed from inside its own
// handler can let the thread finish on its own.
struct TapLoop {
    X11Connection connection;
    std::uint8_t inputOpcode = 0;
    KeyboardMap map;
    ModifierTracker tracker;
    KeyHandler handler;
    int stopFd = -1;
    std::atomic<bool> stopping{false};

    ~TapLoop() {
        if (stopFd >= 0) {
            ::close(stopFd);
        }
    }

    void dispatch(const xcb_generic_event_t* event) {
        const auto type = event->response_type & 0x7f;
        if (type == XCB_MAPPING_NOTIFY) {
            map = connection.keyboardMap();
            return;
        }
        if (type != XCB_GE_GENERIC) {
            return;
        }
        const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
        if (generic->extension != inputOpcode || (generic->event_type != XCB_INPUT_RAW_KEY_PRESS &&
                                                  generic->event_type != XCB_INPUT_RAW_KEY_RELEASE)) {
            return;
        }
        const auto* raw = reinterpret_cast<const xcb_input_raw_key_press_event_t*>(event);
        const bool pressed = generic->event_type == XCB_INPUT_RAW_KEY_PRESS;
        if (auto keyEvent = tracker.handle(KeyCode(raw->detail), pressed, map)) {
            handler(*keyEvent);
        }
    }

    void run() {
        auto* c = connection.get();
        pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {stopFd, POLLIN, 0}};
        while (!stopping.load()) {
            while (auto* event = xcb_poll_for_event(c)) {
                if (!stopping.load()) {
                    dispatch(event);
                }
                std::free(event);
            }
            // A lost server ends the tap; there is no session left to watch.
            if (connection.hasError() || stopping.load()) {
                return;
            }
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                return;
            }
        }
    }
};

class X11KeyTap final : public KeyTap {
public:
    X11KeyTap(const std::string& threadName, KeyHandler handler)
        : loop_(std::make_shared<TapLoop>()) {
        loop_->inputOpcode = selectRawKeyEvents(loop_->connection);
        loop_->map = loop_->connection.keyboardMap();
        loop_->tracker = ModifierTracker(loop_->connection.keysDown());
        loop_->handler = std::move(handler);
        loop_->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (loop_->stopFd < 0) {
            throw std::system_error(errno, std::generic_category(), "eventfd");
        }
        thread_ = std::thread([loop = loop_] { loop->run(); });
        pthread_setname_np(thread_.native_handle(), threadName.substr(0, 15).c_str());
    }

    ~X11KeyTap() override {
        loop_->stopping.store(true);
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(loop_->stopFd, &one, sizeof one);
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }

private:
    std::shared_ptr<TapLoop> loop_;
    std::thread thread_;
};

} // namespace

std::unique_ptr<KeyTap> X11KeyboardMonitor::startTap(const std::string& threadName, KeyHandler handler) {
    return std::make_unique<X11KeyTap>(threadName, std::move(handler));
}

X11KeyboardMonitor::X11KeyboardMonitor() = default;
X11KeyboardMonitor::~X11KeyboardMonitor() = default;

ModifierFlags X11KeyboardMonitor::currentModifierFlags() {
    std::lock_guard lock(mutex_);
    try {
        if (!stateConnection_ || stateConnection_->hasError()) {
            stateConnection_ = std::make_unique<X11Connection>();
        }
        return stateConnection_->keyboardMap().flags(stateConnection_->keysDown());
    } catch (const InputError&) {
        stateConnection_.reset();
        return 0;
    }
}

bool X11KeyboardMonitor::canReadKeyEvents() {
    try {
        X11Connection connection;
        selectRawKeyEvents(connection);
        return true;
    } catch (const InputError&) {
        return false;
    }
}

} // namespace System::Input
