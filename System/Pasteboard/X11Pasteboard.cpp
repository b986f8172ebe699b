#include "System/Pasteboard/X11Pasteboard.h"

#include "System/Pasteboard/PasteboardError.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace System::Pasteboard {

namespace {

using Clock = std::chrono::steady_clock;

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <class T>
Reply<T> reply(T* value) {
    return Reply<T>(value, &std::free);
}

// Data above this size goes to a requestor in pieces (the incremental transfer of the clipboard protocol).
constexpr std::size_t incrementalChunk = 256 * 1024;

// Targets that describe the selection rather than hold its contents, and TEXT, which only asks the owner to
// pick an encoding (its answer is kept under the type the owner names for it, and TEXT is offered again
// whenever UTF-8 text is).
constexpr const char* skippedTargets[] = {
    "TARGETS",         "TIMESTAMP",     "MULTIPLE",          "SAVE_TARGETS", "DELETE", "INSERT_SELECTION",
    "INSERT_PROPERTY", "_QT_SELECTION", "CLIPBOARD_MANAGER", "INCR",         "TEXT"};

// An incremental transfer to one requestor: the next piece goes out each time it deletes the property.
struct Transfer {
    xcb_window_t requestor;
    xcb_atom_t property;
    xcb_atom_t type;
    Data data;
    std::size_t offset = 0;
};

} // namespace

struct X11Pasteboard::Server {
    xcb_connection_t* c = nullptr;
    xcb_window_t window = 0;
    xcb_atom_t clipboard = 0, targets = 0, timestampAtom = 0, incr = 0, utf8 = 0, text = 0, plainText = 0,
               readProperty = 0, stampProperty = 0;
    std::uint8_t xfixesEvent = 0;
    int wakeFd = -1;
    std::thread thread;
    std::atomic<bool> stopping{false};

    std::mutex queueMutex;
    std::deque<std::function<void()>> queue;

    // Only the server's thread touches what follows.
    std::optional<std::vector<PasteboardItem>> owned; // the contents while this process owns CLIPBOARD
    xcb_timestamp_t ownedSince = 0;
    std::int64_t changeCount = 0;
    std::vector<Transfer> transfers;
    std::map<std::string, xcb_atom_t, std::less<>> atoms;
    std::map<xcb_atom_t, std::string> names;

    Server();
    ~Server();

    // Runs `work` on the server's thread and waits for its result.
    template <class F>
    auto call(F work) -> decltype(work()) {
        if (std::this_thread::get_id() == thread.get_id()) {
            return work();
        }
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto result = task.get_future();
        post([&task] { task(); });
        return result.get();
    }
    void post(std::function<void()> work);
    void run();

    xcb_atom_t atom(std::string_view name);
    std::string atomName(xcb_atom_t atom);
    void dispatch(const xcb_generic_event_t* event);
    void drainEvents();
    // Handles other events while it waits for one that `wanted` accepts; none when the deadline passes
    // or the server is gone.
    std::unique_ptr<xcb_generic_event_t, decltype(&std::free)>
    waitFor(const std::function<bool(const xcb_generic_event_t*)>& wanted, Clock::time_point deadline);
    void sync();
    std::optional<xcb_timestamp_t> serverTime();

    std::int64_t write(std::vector<PasteboardItem> items);
    std::vector<PasteboardItem> read();
    std::optional<Data> convert(xcb_atom_t target, bool& unanswered);
    std::optional<Data> takeProperty(xcb_atom_t& type);

    void serve(const xcb_selection_request_event_t* request);
    void continueTransfer(const xcb_property_notify_event_t* event);
};

X11Pasteboard::Server::Server() {
    c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        const char* display = std::getenv("DISPLAY");
        throw PasteboardError(PasteboardError::Kind::displayUnavailable, display ? display : "");
    }
    const auto* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
    auto version = reply(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
    if (!xfixes || !xfixes->present || !version) {
        xcb_disconnect(c);
        throw PasteboardError(PasteboardError::Kind::extensionMissing, "XFIXES");
    }
    xfixesEvent = xfixes->first_event;
    const auto* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    window = xcb_generate_id(c);
    const std::uint32_t values[] = {1, XCB_EVENT_MASK_PROPERTY_CHANGE};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, -10, -10, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, screen->root_visual,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    clipboard = atom("CLIPBOARD");
    targets = atom("TARGETS");
    timestampAtom = atom("TIMESTAMP");
    incr = atom("INCR");
    utf8 = atom(stringType);
    text = atom("TEXT");
    plainText = atom("text/plain;charset=utf-8");
    readProperty = atom("PARLINDO_SELECTION");
    stampProperty = atom("PARLINDO_TIMESTAMP");
    xcb_xfixes_select_selection_input(c, window, clipboard,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    xcb_flush(c);
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        xcb_disconnect(c);
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    thread = std::thread([this] { run(); });
}

X11Pasteboard::Server::~Server() {
    stopping.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof one);
    thread.join();
    xcb_destroy_window(c, window);
    xcb_disconnect(c);
    ::close(wakeFd);
}

void X11Pasteboard::Server::post(std::function<void()> work) {
    {
        std::lock_guard lock(queueMutex);
        queue.push_back(std::move(work));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd, &one, sizeof one);
}

void X11Pasteboard::Server::run() {
    while (!stopping.load()) {
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lock(queueMutex);
            work.swap(queue);
        }
        for (auto& item : work) {
            item();
        }
        drainEvents();
        // Once the server is gone only the wake-up matters: calls still get their (empty) answers.
        const bool connected = !xcb_connection_has_error(c);
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}};
        if (::poll(fds, connected ? 2 : 1, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] auto got = ::read(wakeFd, &count, sizeof count);
        }
    }
}

void X11Pasteboard::Server::drainEvents() {
    while (auto* event = xcb_poll_for_event(c)) {
        dispatch(event);
        std::free(event);
    }
    xcb_flush(c);
}

xcb_atom_t X11Pasteboard::Server::atom(std::string_view name) {
    if (auto found = atoms.find(name); found != atoms.end()) {
        return found->second;
    }
    auto answer = reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(name.size()), name.data()), nullptr));
    if (!answer) {
        return XCB_ATOM_NONE;
    }
    atoms.emplace(std::string(name), answer->atom);
    names.emplace(answer->atom, std::string(name));
    return answer->atom;
}

std::string X11Pasteboard::Server::atomName(xcb_atom_t value) {
    if (auto found = names.find(value); found != names.end()) {
        return found->second;
    }
    auto answer = reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, value), nullptr));
    if (!answer) {
        return {};
    }
    std::string name(xcb_get_atom_name_name(answer.get()),
                     std::size_t(xcb_get_atom_name_name_length(answer.get())));
    names.emplace(value, name);
    atoms.emplace(name, value);
    return name;
}

void X11Pasteboard::Server::dispatch(const xcb_generic_event_t* event) {
    const auto type = event->response_type & 0x7f;
    if (type == XCB_SELECTION_REQUEST) {
        serve(reinterpret_cast<const xcb_selection_request_event_t*>(event));
    } else if (type == XCB_SELECTION_CLEAR) {
        if (reinterpret_cast<const xcb_selection_clear_event_t*>(event)->selection == clipboard) {
            owned.reset();
        }
    } else if (type == XCB_PROPERTY_NOTIFY) {
        continueTransfer(reinterpret_cast<const xcb_property_notify_event_t*>(event));
    } else if (type == xfixesEvent + XCB_XFIXES_SELECTION_NOTIFY) {
        const auto* notify = reinterpret_cast<const xcb_xfixes_selection_notify_event_t*>(event);
        // This process's own writes were counted when made; every other change of owner (a copy elsewhere,
        // an owner that went away) is a change of contents.
        if (notify->selection == clipboard && notify->owner != window) {
            ++changeCount;
            owned.reset();
        }
    }
    // Errors (type 0) come from requestors that vanished mid-answer; there is nobody left to tell.
}

std::unique_ptr<xcb_generic_event_t, decltype(&std::free)>
X11Pasteboard::Server::waitFor(const std::function<bool(const xcb_generic_event_t*)>& wanted,
                               Clock::time_point deadline) {
    xcb_flush(c);
    while (!xcb_connection_has_error(c)) {
        while (auto* event = xcb_poll_for_event(c)) {
            if (wanted(event)) {
                return {event, &std::free};
            }
            dispatch(event);
            std::free(event);
        }
        xcb_flush(c);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&fd, 1, int(left));
    }
    return {nullptr, &std::free};
}

void X11Pasteboard::Server::sync() {
    reply(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    drainEvents();
}

std::optional<xcb_timestamp_t> X11Pasteboard::Server::serverTime() {
    // A zero-length append changes nothing but makes the server report the current time.
    xcb_change_property(c, XCB_PROP_MODE_APPEND, window, stampProperty, XCB_ATOM_STRING, 8, 0, nullptr);
    auto event = waitFor(
        [&](const xcb_generic_event_t* e) {
            const auto* p = reinterpret_cast<const xcb_property_notify_event_t*>(e);
            return (e->response_type & 0x7f) == XCB_PROPERTY_NOTIFY && p->window == window &&
                   p->atom == stampProperty;
        },
        Clock::now() + answerTimeout);
    if (!event) {
        return std::nullopt;
    }
    return reinterpret_cast<const xcb_property_notify_event_t*>(event.get())->time;
}

std::int64_t X11Pasteboard::Server::write(std::vector<PasteboardItem> items) {
    // Count every change made elsewhere before this one, so the count answered is this write's own.
    sync();
    const auto time = serverTime();
    if (!time) {
        throw PasteboardError(PasteboardError::Kind::writeRefused, "");
    }
    xcb_set_selection_owner(c, window, clipboard, *time);
    auto owner = reply(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard), nullptr));
    if (!owner || owner->owner != window) {
        throw PasteboardError(PasteboardError::Kind::writeRefused, "");
    }
    owned = std::move(items);
    ownedSince = *time;
    return ++changeCount;
}

std::optional<Data> X11Pasteboard::Server::takeProperty(xcb_atom_t& type) {
    auto value = reply(xcb_get_property_reply(
        c, xcb_get_property(c, 1, window, readProperty, XCB_GET_PROPERTY_TYPE_ANY, 0, UINT32_MAX / 4),
        nullptr));
    if (!value || value->type == XCB_ATOM_NONE) {
        return std::nullopt;
    }
    type = value->type;
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(value.get()));
    return Data(bytes, std::size_t(xcb_get_property_value_length(value.get())));
}

std::optional<Data> X11Pasteboard::Server::convert(xcb_atom_t target, bool& unanswered) {
    xcb_delete_property(c, window, readProperty);
    xcb_convert_selection(c, window, clipboard, target, readProperty, XCB_CURRENT_TIME);
    auto notified = waitFor(
        [&](const xcb_generic_event_t* e) {
            const auto* n = reinterpret_cast<const xcb_selection_notify_event_t*>(e);
            return (e->response_type & 0x7f) == XCB_SELECTION_NOTIFY && n->requestor == window &&
                   n->selection == clipboard && n->target == target;
        },
        Clock::now() + answerTimeout);
    if (!notified) {
        unanswered = true;
        return std::nullopt;
    }
    if (reinterpret_cast<const xcb_selection_notify_event_t*>(notified.get())->property == XCB_ATOM_NONE) {
        return std::nullopt;
    }
    xcb_atom_t type = XCB_ATOM_NONE;
    auto data = takeProperty(type);
    if (!data || type != incr) {
        return data;
    }
    // Incremental: each deletion of the property asks for the next piece; an empty piece ends it.
    Data whole;
    while (true) {
        auto piece = waitFor(
            [&](const xcb_generic_event_t* e) {
                const auto* p = reinterpret_cast<const xcb_property_notify_event_t*>(e);
                return (e->response_type & 0x7f) == XCB_PROPERTY_NOTIFY && p->window == window &&
                       p->atom == readProperty && p->state == XCB_PROPERTY_NEW_VALUE;
            },
            Clock::now() + answerTimeout);
        if (!piece) {
            unanswered = true;
            return std::nullopt;
        }
        auto chunk = takeProperty(type);
        if (!chunk || chunk->empty()) {
            return whole;
        }
        whole += *chunk;
    }
}

std::vector<PasteboardItem> X11Pasteboard::Server::read() {
    sync();
    if (owned) {
        return *owned;
    }
    auto owner = reply(xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, clipboard), nullptr));
    if (!owner || owner->owner == XCB_WINDOW_NONE) {
        return {};
    }
    bool unanswered = false;
    std::vector<xcb_atom_t> offered;
    if (auto list = convert(targets, unanswered); list && list->size() % 4 == 0) {
        offered.resize(list->size() / 4);
        std::memcpy(offered.data(), list->data(), list->size());
    } else if (!unanswered) {
        offered.push_back(utf8); // an owner that lists nothing may still give text
    }
    PasteboardItem item;
    for (auto target : offered) {
        const auto name = atomName(target);
        const bool skipped = std::any_of(std::begin(skippedTargets), std::end(skippedTargets),
                                         [&](const char* m) { return name == m; });
        if (name.empty() || skipped || item.data(name)) {
            continue;
        }
        auto data = convert(target, unanswered);
        if (unanswered) {
            break; // an owner that stopped answering would make every further request wait too
        }
        if (data) {
            item.setData(name, std::move(*data));
        }
    }
    return {std::move(item)};
}

void X11Pasteboard::Server::serve(const xcb_selection_request_event_t* request) {
    xcb_selection_notify_event_t answer{};
    answer.response_type = XCB_SELECTION_NOTIFY;
    answer.time = request->time;
    answer.requestor = request->requestor;
    answer.selection = request->selection;
    answer.target = request->target;
    // Clients from before the clipboard conventions name no property: the target stands in for it.
    const xcb_atom_t property = request->property == XCB_ATOM_NONE ? request->target : request->property;
    answer.property = XCB_ATOM_NONE;

    const PasteboardItem* item = owned && !owned->empty() ? &owned->front() : nullptr;
    if (request->selection == clipboard && owned) {
        if (request->target == targets) {
            std::vector<xcb_atom_t> list{targets, timestampAtom};
            if (item) {
                for (const auto& type : item->types()) {
                    list.push_back(atom(type));
                }
                if (item->data(stringType)) {
                    list.push_back(text);
                    list.push_back(plainText);
                }
            }
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, request->requestor, property, XCB_ATOM_ATOM, 32,
                                std::uint32_t(list.size()), list.data());
            answer.property = property;
        } else if (request->target == timestampAtom) {
            xcb_change_property(c, XCB_PROP_MODE_REPLACE, request->requestor, property, XCB_ATOM_INTEGER, 32,
                                1, &ownedSince);
            answer.property = property;
        } else if (item) {
            // TEXT lets the owner choose the encoding: UTF-8.
            const bool isText = request->target == text;
            auto data = isText ? item->data(stringType) : item->data(atomName(request->target));
            xcb_atom_t type = isText ? utf8 : request->target;
            if (!data && request->target == plainText) {
                data = item->data(stringType);
            }
            if (data && data->size() > incrementalChunk) {
                const std::uint32_t events[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
                xcb_change_window_attributes(c, request->requestor, XCB_CW_EVENT_MASK, events);
                const std::uint32_t size = std::uint32_t(data->size());
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request->requestor, property, incr, 32, 1,
                                    &size);
                transfers.push_back({request->requestor, property, type, std::move(*data), 0});
                answer.property = property;
            } else if (data) {
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, request->requestor, property, type, 8,
                                    std::uint32_t(data->size()), data->data());
                answer.property = property;
            }
        }
    }
    xcb_send_event(c, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&answer));
    xcb_flush(c);
}

void X11Pasteboard::Server::continueTransfer(const xcb_property_notify_event_t* event) {
    if (event->state != XCB_PROPERTY_DELETE) {
        return;
    }
    auto transfer = std::find_if(transfers.begin(), transfers.end(), [&](const Transfer& t) {
        return t.requestor == event->window && t.property == event->atom;
    });
    if (transfer == transfers.end()) {
        return;
    }
    const std::size_t length = std::min(incrementalChunk, transfer->data.size() - transfer->offset);
    xcb_change_property(c, XCB_PROP_MODE_REPLACE, transfer->requestor, transfer->property, transfer->type, 8,
                        std::uint32_t(length), transfer->data.data() + transfer->offset);
    transfer->offset += length;
    if (length == 0) {
        transfers.erase(transfer);
    }
    xcb_flush(c);
}

X11Pasteboard::X11Pasteboard()
    : server_(std::make_unique<Server>()) {}

X11Pasteboard::~X11Pasteboard() = default;

std::int64_t X11Pasteboard::changeCount() {
    return server_->call([this] {
        server_->sync();
        return server_->changeCount;
    });
}

std::int64_t X11Pasteboard::setContents(std::vector<PasteboardItem> items) {
    return server_->call(
        [this, items = std::move(items)]() mutable { return server_->write(std::move(items)); });
}

void X11Pasteboard::readContents(std::function<void(std::vector<PasteboardItem>)> done) {
    server_->post([this, done = std::move(done)] { done(server_->read()); });
}

} // namespace System::Pasteboard
