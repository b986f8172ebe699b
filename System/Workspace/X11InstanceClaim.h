#pragma once

#include <memory>
#include <string>

namespace System::Workspace {

// The claim of one program to be its only running copy on an X display: an X selection named after the
// program, owned by a window on a connection of the claim's own. The server gives the selection up when that
// connection closes, however the program ends, so a copy that crashed never blocks a later start; and it is
// the display itself that keys the claim, however its name is spelled in $DISPLAY.
class X11InstanceClaim {
public:
    enum class Result {
        claimed,       // this is the only copy: the claim lasts as long as this object
        heldElsewhere, // another running copy holds it
        noDisplay,     // no X server answers: nothing can be claimed or checked
    };

    // Claims the selection `name` unless another client owns it. The test and the taking of the selection
    // are made with the server grabbed, so two copies starting at once cannot both win.
    explicit X11InstanceClaim(const std::string& name);
    ~X11InstanceClaim();
    X11InstanceClaim(const X11InstanceClaim&) = delete;
    X11InstanceClaim& operator=(const X11InstanceClaim&) = delete;

    Result result() const { return result_; }

private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
    Result result_ = Result::noDisplay;
};

} // namespace System::Workspace
