#pragma once

#include "App/Platform/DesktopServices.h"

namespace Parlindo {

// The desktop services of a freedesktop.org session: addresses open with xdg-open, files are shown through
// the file manager's D-Bus interface (org.freedesktop.FileManager1, called with dbus-send) or, when no file
// manager answers there, by opening their folder.
class XdgDesktopServices final : public DesktopServices {
public:
    bool openURL(const std::string& address) override;
    void revealInFileManager(const std::filesystem::path& file) override;
    bool launchNewInstance(const std::filesystem::path& executable) override;
};

} // namespace Parlindo
