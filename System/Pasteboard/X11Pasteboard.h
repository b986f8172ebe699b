#pragma once

#include "System/Pasteboard/Pasteboard.h"

#include <chrono>
#include <memory>

namespace System::Pasteboard {

// The X11 CLIPBOARD selection as a pasteboard. A thread of its own owns the connection: it serves the
// contents to other applications while this process owns the selection (large data incrementally), reads
// them from the owner when another application does, and counts every change of owner (XFixes), so a copy
// in any application grows the change count. X11 carries one item: other applications see the first item
// of the contents, in all of its types; a read answers one item with every type the owner offers.
class X11Pasteboard final : public Pasteboard {
public:
    // How long a read waits for the owning application to answer one request.
    static constexpr std::chrono::milliseconds answerTimeout{1000};

    // Throws PasteboardError when no X server answers or it lacks XFIXES.
    X11Pasteboard();
    ~X11Pasteboard() override;
    X11Pasteboard(const X11Pasteboard&) = delete;
    X11Pasteboard& operator=(const X11Pasteboard&) = delete;

    // X11 has no per-application clipboard permission.
    AccessBehavior accessBehavior() override { return AccessBehavior::standard; }
    std::int64_t changeCount() override;
    std::int64_t setContents(std::vector<PasteboardItem> items) override;
    void readContents(std::function<void(std::vector<PasteboardItem>)> done) override;

private:
    struct Server;
    std::unique_ptr<Server> server_;
};

} // namespace System::Pasteboard
