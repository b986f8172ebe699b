#include "System/Input/X11KeyboardMonitor.h"

#include "System/Input/InputError.h"
#include "System/Input/KeyboardMap.h"
#include "System/Input/X11Connection.h"
#include "System/Log/Logger.h"

#include <xcb/xinput.h>

#include <algorithm>
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

const System::Log::Logger logger{"com.tessarin.Tessarin", "Hotkey"};

constexpr KeySym numLockKeySym = 0xff7f;
constexpr KeySym scrollLockKeySym = 0xff14;

// Passive grabs of the withheld keys on the root window. A grab matches one exact set of modifiers, so each
// key is grabbed once for every combination of the lock modifiers (Caps Lock, Num Lock, Scroll Lock). The
// grabs live on a connection of their own: the server sends the grabbing client no raw events of the keys
// it has grabbed, and the tap must go on seeing them.
class KeyGrabs {
public:
    X11Connection connection;

    void update(const KeyboardMap& map, const std::vector<std::uint16_t>& withheld) {
        release();
        if (withheld.empty()) {
            return;
        }
        auto* c = connection.get();
        auto* reply = xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr);
        if (!reply) {
            return;
        }
        const auto* codes = xcb_get_modifier_mapping_keycodes(reply);
        const int perModifier = reply->keycodes_per_modifier;
        std::bitset<256> modifierKeys;
        std::uint16_t numLock = 0;
        std::uint16_t scrollLock = 0;
        for (int modifier = 0; modifier < 8; ++modifier) {
            for (int i = 0; i < perModifier; ++i) {
                const KeyCode code = codes[modifier * perModifier + i];
                if (code == 0) {
                    continue;
                }
                modifierKeys.set(code);
                const KeySym sym = map.keySym(code, 0);
                if (sym == numLockKeySym) {
                    numLock = std::uint16_t(1u << modifier);
                } else if (sym == scrollLockKeySym) {
                    scrollLock = std::uint16_t(1u << modifier);
                }
            }
        }
        std::free(reply);
        const std::uint16_t locks[] = {XCB_MOD_MASK_LOCK, numLock, scrollLock};
        modifierCombinations_ = {0};
        for (auto lock : locks) {
            if (lock == 0) {
                continue;
            }
            const auto count = modifierCombinations_.size();
            for (std::size_t i = 0; i < count; ++i) {
                modifierCombinations_.push_back(std::uint16_t(modifierCombinations_[i] | lock));
            }
        }
        std::vector<xcb_void_cookie_t> cookies;
        for (int code = map.minKeyCode(); code <= map.maxKeyCode(); ++code) {
            const auto key = map.modifierKey(KeyCode(code));
            if (!key || modifierKeys.test(std::size_t(code)) ||
                std::find(withheld.begin(), withheld.end(), key->keyCode) == withheld.end()) {
                continue;
            }
            keys_.push_back(KeyCode(code));
            for (auto modifiers : modifierCombinations_) {
                cookies.push_back(xcb_grab_key_checked(c, 0, connection.root(), modifiers, KeyCode(code),
                                                       XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
            }
        }
        bool refused = false;
        for (auto cookie : cookies) {
            if (auto* error = xcb_request_check(c, cookie)) {
                refused = true;
                std::free(error);
            }
        }
        if (refused) {
            logger.notice("Another application holds the dictation key; it may act on it too");
        }
    }

    // The key events the grabs bring in are of no use: read and dropped, so they do not pile up.
    void drain() {
        while (auto* event = xcb_poll_for_event(connection.get())) {
            std::free(event);
        }
    }

    void release() {
        for (auto code : keys_) {
            for (auto modifiers : modifierCombinations_) {
                xcb_ungrab_key(connection.get(), code, connection.root(), modifiers);
            }
        }
        keys_.clear();
    }

private:
    std::vector<KeyCode> keys_;
    std::vector<std::uint16_t> modifierCombinations_;
};

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
    std::vector<std::uint16_t> withheld;
    KeyGrabs grabs;
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
            grabs.update(map, withheld);
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
        pollfd fds[3] = {{xcb_get_file_descriptor(c), POLLIN, 0},
                         {stopFd, POLLIN, 0},
                         {xcb_get_file_descriptor(grabs.connection.get()), POLLIN, 0}};
        while (!stopping.load()) {
            grabs.drain();
            if (grabs.connection.hasError()) {
                fds[2].fd = -1;
            }
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
            if (::poll(fds, 3, -1) < 0 && errno != EINTR) {
                return;
            }
        }
    }
};

class X11KeyTap final : public KeyTap {
public:
    X11KeyTap(const std::string& threadName, const std::vector<std::uint16_t>& withheld, KeyHandler handler)
        : loop_(std::make_shared<TapLoop>()) {
        loop_->inputOpcode = selectRawKeyEvents(loop_->connection);
        loop_->map = loop_->connection.keyboardMap();
        loop_->withheld = withheld;
        loop_->grabs.update(loop_->map, withheld);
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
        // Either the loop has ended or this is its own thread: the grabs are this thread's to release. The
        // keys go back to the applications before the tap is gone, not when its connection closes.
        if (!loop_->grabs.connection.hasError()) {
            loop_->grabs.release();
            loop_->grabs.connection.sync();
        }
    }

private:
    std::shared_ptr<TapLoop> loop_;
    std::thread thread_;
};

} // namespace

std::unique_ptr<KeyTap> X11KeyboardMonitor::startTap(const std::string& threadName,
                                                     const std::vector<std::uint16_t>& withheld,
                                                     KeyHandler handler) {
    return std::make_unique<X11KeyTap>(threadName, withheld, std::move(handler));
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
