#pragma once

#include "System/Workspace/Workspace.h"

#include <memory>
#include <mutex>

namespace System::Workspace {

// The front application of the X session, read from the window manager's _NET_ACTIVE_WINDOW on the root
// window and that window's _NET_WM_PID, WM_CLASS and _NET_WM_NAME (WM_NAME when it has none). Without a
// display, or without an active window, there is no front application.
class X11Workspace final : public Workspace {
public:
    X11Workspace();
    ~X11Workspace() override;

    std::optional<RunningApplication> frontmostApplication() override;

private:
    struct Connection;
    std::mutex mutex_;
    std::unique_ptr<Connection> connection_; // opened on first use, again after a lost server
};

} // namespace System::Workspace
