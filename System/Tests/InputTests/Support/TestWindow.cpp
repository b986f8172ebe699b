#include "TestWindow.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <clocale>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

struct TestWindow::Impl {
    Display* display = nullptr;
    XIM im = nullptr;
    XIC ic = nullptr;
    Atom clipboard = 0;
    Atom utf8 = 0;
    Atom property = 0;
    int stopFd = -1;
};

TestWindow::TestWindow()
    : impl_(std::make_unique<Impl>()) {
    // The X input method decodes keys into UTF-8 only under a UTF-8 locale.
    if (!std::setlocale(LC_CTYPE, "C.UTF-8") || !XSupportsLocale()) {
        throw std::runtime_error("TestWindow: the C.UTF-8 locale is not available to X");
    }
    XSetLocaleModifiers("@im=none");
    // A plain core-protocol client: Xlib's own keyboard-extension handling refreshes its key map only
    // sometimes after a remap, while core clients refresh on every MappingNotify.
    XkbIgnoreExtension(True);
    auto& d = *impl_;
    d.display = XOpenDisplay(nullptr);
    if (!d.display) {
        throw std::runtime_error("TestWindow: cannot open the X display");
    }
    d.clipboard = XInternAtom(d.display, "CLIPBOARD", False);
    d.utf8 = XInternAtom(d.display, "UTF8_STRING", False);
    d.property = XInternAtom(d.display, "TEST_WINDOW_PASTE", False);
    const int screen = DefaultScreen(d.display);
    window_ = XCreateSimpleWindow(d.display, RootWindow(d.display, screen), 10, 10, 300, 80, 1,
                                  BlackPixel(d.display, screen), WhitePixel(d.display, screen));
    XSelectInput(d.display, window_,
                 KeyPressMask | StructureNotifyMask | FocusChangeMask | PropertyChangeMask);
    d.im = XOpenIM(d.display, nullptr, nullptr, nullptr);
    if (!d.im) {
        throw std::runtime_error("TestWindow: no X input method");
    }
    d.ic = XCreateIC(d.im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, window_,
                     XNFocusWindow, window_, nullptr);
    if (!d.ic) {
        throw std::runtime_error("TestWindow: no X input context");
    }
    XMapWindow(d.display, window_);
    for (XEvent event;;) {
        XWindowEvent(d.display, window_, StructureNotifyMask, &event);
        if (event.type == MapNotify) {
            break;
        }
    }
    XSetInputFocus(d.display, window_, RevertToParent, CurrentTime);
    XSetICFocus(d.ic);
    XSync(d.display, False);
    d.stopFd = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

TestWindow::~TestWindow() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(impl_->stopFd, &one, sizeof one);
    thread_.join();
    XDestroyIC(impl_->ic);
    XCloseIM(impl_->im);
    XDestroyWindow(impl_->display, window_);
    XCloseDisplay(impl_->display);
    close(impl_->stopFd);
}

void TestWindow::run() {
    auto& d = *impl_;
    pollfd fds[2] = {{ConnectionNumber(d.display), POLLIN, 0}, {d.stopFd, POLLIN, 0}};
    while (true) {
        while (XPending(d.display)) {
            XEvent event;
            XNextEvent(d.display, &event);
            if (XFilterEvent(&event, None)) {
                continue;
            }
            if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
            } else if (event.type == KeyPress) {
                char buffer[64];
                KeySym keySym = NoSymbol;
                Status status = 0;
                const int length =
                    Xutf8LookupString(d.ic, &event.xkey, buffer, sizeof buffer, &keySym, &status);
                {
                    std::lock_guard lock(mutex_);
                    keySyms_.push_back(keySym);
                }
                if ((event.xkey.state & ControlMask) && (keySym == XK_v || keySym == XK_V)) {
                    XConvertSelection(d.display, d.clipboard, d.utf8, d.property, window_, event.xkey.time);
                } else if (keySym == XK_Return) {
                    std::lock_guard lock(mutex_);
                    text_ += '\n';
                    changed_.notify_all();
                } else if (length > 0 && (status == XLookupChars || status == XLookupBoth)) {
                    std::lock_guard lock(mutex_);
                    text_.append(buffer, std::size_t(length));
                    changed_.notify_all();
                }
            } else if (event.type == SelectionNotify && event.xselection.property == d.property) {
                Atom type = None;
                int format = 0;
                unsigned long count = 0;
                unsigned long after = 0;
                unsigned char* data = nullptr;
                XGetWindowProperty(d.display, window_, d.property, 0, 1 << 20, True, AnyPropertyType, &type,
                                   &format, &count, &after, &data);
                std::lock_guard lock(mutex_);
                if (data && format == 8) {
                    text_.append(reinterpret_cast<const char*>(data), count);
                }
                ++pastes_;
                changed_.notify_all();
                if (data) {
                    XFree(data);
                }
            } else if (event.type == SelectionNotify) {
                std::lock_guard lock(mutex_);
                ++pastes_;
                changed_.notify_all();
            }
        }
        if (poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents) {
            return;
        }
    }
}

std::string TestWindow::text() const {
    std::lock_guard lock(mutex_);
    return text_;
}

std::vector<unsigned long> TestWindow::keySymsPressed() const {
    std::lock_guard lock(mutex_);
    return keySyms_;
}

int TestWindow::pasteCount() const {
    std::lock_guard lock(mutex_);
    return pastes_;
}

void TestWindow::clear() {
    std::lock_guard lock(mutex_);
    text_.clear();
    keySyms_.clear();
    pastes_ = 0;
}

bool TestWindow::waitForText(const std::string& expected, std::chrono::milliseconds timeout) {
    return waitForText([&](const std::string& text) { return text == expected; }, timeout);
}

bool TestWindow::waitForText(const std::function<bool(const std::string&)>& done,
                             std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(text_); });
}

bool TestWindow::waitForPastes(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pastes_ >= count; });
}
