#pragma once

#include <filesystem>
#include <string>

namespace Parlindo {

// What the application asks of the desktop around it. Safe from any thread.
class DesktopServices {
public:
    virtual ~DesktopServices() = default;

    // Opens `address` with the user's handler for it (a browser for web pages). False when no handler could
    // be started; a handler that fails later is only logged.
    virtual bool openURL(const std::string& address) = 0;
    // Shows `file` in the file manager, selected where the file manager can do that, else its folder.
    virtual void revealInFileManager(const std::filesystem::path& file) = 0;
    // Starts another instance of the program at `executable`, apart from this one. True once it has started.
    virtual bool launchNewInstance(const std::filesystem::path& executable) = 0;
};

// What the user-interface toolkit does for the application as a whole. Called on the main actor.
class ApplicationControl {
public:
    virtual ~ApplicationControl() = default;

    // Brings the application's windows to the front.
    virtual void activate() = 0;
    // Ends the application.
    virtual void terminate() = 0;
};

} // namespace Parlindo
