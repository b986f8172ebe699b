#pragma once

#include "TessarinCore/Ports/PermissionsProviding.h"

#include <functional>
#include <string>

namespace TessarinPlatform {

// Reads and requests the three permissions as a Linux desktop has them. There is no prompt to show:
// the microphone is granted when the sound server can be reached, input monitoring when the session's raw
// key events can be read, event posting when the display server takes synthetic input. A request reads
// again and answers granted or denied.
class TCCPermissionService final : public TessarinCore::PermissionsProviding {
public:
    struct Probes {
        // Whether the sound server answers; supplied by the caller, so this service stays independent of
        // the audio layer.
        std::function<bool()> audioServerReachable;
        std::function<bool()> canReadKeyEvents;
        std::function<bool()> canPostEvents;
    };

    // Key input and synthetic input are probed on the X display.
    explicit TCCPermissionService(std::function<bool()> audioServerReachable);
    explicit TCCPermissionService(Probes probes);

    // Both run the probe on the caller's executor.
    System::Concurrency::Task<TessarinCore::PermissionStatus>
    status(TessarinCore::Permission permission) override;
    System::Concurrency::Task<TessarinCore::PermissionStatus>
    request(TessarinCore::Permission permission) override;

    // The address of the settings help for the permission: "parlindo-settings:privacy?" followed by the
    // permission's anchor ("Privacy_Microphone", "Privacy_ListenEvent", "Privacy_Accessibility"). Linux
    // desktops have no privacy pane to open, so the application shell answers this address itself.
    static std::string settingsURL(TessarinCore::Permission permission);

private:
    TessarinCore::PermissionStatus read(TessarinCore::Permission permission) const;

    Probes probes_;
};

} // namespace TessarinPlatform
