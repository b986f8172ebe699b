#include "TessarinPlatform/System/TCCPermissionService.h"

#include "System/Input/X11KeyboardMonitor.h"
#include "System/Input/X11SyntheticKeyboard.h"

namespace TessarinPlatform {

using TessarinCore::Permission;
using TessarinCore::PermissionStatus;

TCCPermissionService::TCCPermissionService(std::function<bool()> audioServerReachable)
    : TCCPermissionService(Probes{std::move(audioServerReachable),
                                  System::Input::X11KeyboardMonitor::canReadKeyEvents,
                                  System::Input::X11SyntheticKeyboard::isAvailable}) {}

TCCPermissionService::TCCPermissionService(Probes probes)
    : probes_(std::move(probes)) {}

PermissionStatus TCCPermissionService::read(Permission permission) const {
    const auto& probe = permission == Permission::microphone        ? probes_.audioServerReachable
                        : permission == Permission::inputMonitoring ? probes_.canReadKeyEvents
                                                                    : probes_.canPostEvents;
    return probe && probe() ? PermissionStatus::granted : PermissionStatus::denied;
}

System::Concurrency::Task<PermissionStatus> TCCPermissionService::status(Permission permission) {
    co_return read(permission);
}

System::Concurrency::Task<PermissionStatus> TCCPermissionService::request(Permission permission) {
    co_return read(permission);
}

std::string TCCPermissionService::settingsURL(Permission permission) {
    switch (permission) {
    case Permission::microphone:
        return "parlindo-settings:privacy?Privacy_Microphone";
    case Permission::inputMonitoring:
        return "parlindo-settings:privacy?Privacy_ListenEvent";
    case Permission::postEvents:
        return "parlindo-settings:privacy?Privacy_Accessibility";
    }
    return "parlindo-settings:privacy";
}

} // namespace TessarinPlatform
