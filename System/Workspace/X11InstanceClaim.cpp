#include "System/Workspace/X11InstanceClaim.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace System::Workspace {

struct X11InstanceClaim::Connection {
    xcb_connection_t* c = nullptr;
    xcb_atom_t selection = XCB_ATOM_NONE;
    bool owns = false;

    ~Connection() {
        // Given up in so many words, and waited for, so that a start right after this copy ends finds the
        // selection free; the server would let it go too, but only once it has seen the connection close.
        if (owns && !xcb_connection_has_error(c)) {
            xcb_set_selection_owner(c, XCB_WINDOW_NONE, selection, XCB_CURRENT_TIME);
            std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        }
        xcb_disconnect(c);
    }
};

X11InstanceClaim::X11InstanceClaim(const std::string& name)
    : connection_(std::make_unique<Connection>()) {
    int screenNumber = 0;
    auto* c = connection_->c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        return;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        return;
    }
    auto* atomReply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(name.size()), name.data()), nullptr);
    if (!atomReply) {
        return;
    }
    const xcb_atom_t selection = atomReply->atom;
    std::free(atomReply);

    // An unmapped window that only owns the selection.
    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screens.data->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);

    xcb_grab_server(c);
    auto* owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    const bool free = owner && owner->owner == XCB_WINDOW_NONE;
    std::free(owner);
    if (free) {
        xcb_set_selection_owner(c, window, selection, XCB_CURRENT_TIME);
    }
    xcb_ungrab_server(c);
    auto* check = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    const bool ours = check && check->owner == window;
    std::free(check);
    if (xcb_connection_has_error(c)) {
        return;
    }
    connection_->selection = selection;
    connection_->owns = ours;
    result_ = ours ? Result::claimed : Result::heldElsewhere;
}

X11InstanceClaim::~X11InstanceClaim() = default;

} // namespace System::Workspace
