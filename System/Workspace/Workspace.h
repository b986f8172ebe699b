#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace System::Workspace {

// An application with a window on the desktop.
struct RunningApplication {
    // What identifies the application across its windows and launches (on X11 the class of WM_CLASS).
    std::optional<std::string> bundleIdentifier;
    // Its process; -1 when its window does not say.
    std::int32_t processIdentifier = -1;
    // The name shown for it (on X11 its window's title).
    std::optional<std::string> localizedName;
    // The window of it that is active (on X11 the window's id).
    std::optional<std::uint64_t> windowIdentifier;

    bool operator==(const RunningApplication&) const = default;
};

class Workspace {
public:
    virtual ~Workspace() = default;
    // The application whose window is active; none when no window is. Safe from any thread.
    virtual std::optional<RunningApplication> frontmostApplication() = 0;
};

// A workspace whose front application the test sets.
class FakeWorkspace final : public Workspace {
public:
    std::optional<RunningApplication> frontmost;
    std::optional<RunningApplication> frontmostApplication() override { return frontmost; }
};

} // namespace System::Workspace
