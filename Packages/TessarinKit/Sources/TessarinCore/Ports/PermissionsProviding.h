#pragma once

#include "System/Concurrency/Task.h"
#include "TessarinCore/Domain/RawValue.h"

namespace TessarinCore {

// The permissions the system needs.
enum class Permission { microphone, inputMonitoring, postEvents };

template <>
struct RawValues<Permission> {
    static constexpr std::array<std::pair<Permission, std::string_view>, 3> cases{{
        {Permission::microphone, "microphone"},
        {Permission::inputMonitoring, "inputMonitoring"},
        {Permission::postEvents, "postEvents"},
    }};
};

// grantedAfterRelaunch: granted, but the running process only sees the grant after a restart.
enum class PermissionStatus { granted, denied, notDetermined, grantedAfterRelaunch };

template <>
struct RawValues<PermissionStatus> {
    static constexpr std::array<std::pair<PermissionStatus, std::string_view>, 4> cases{{
        {PermissionStatus::granted, "granted"},
        {PermissionStatus::denied, "denied"},
        {PermissionStatus::notDetermined, "notDetermined"},
        {PermissionStatus::grantedAfterRelaunch, "grantedAfterRelaunch"},
    }};
};

// Reads and requests permissions.
class PermissionsProviding {
public:
    virtual ~PermissionsProviding() = default;

    // Reads without asking the user.
    virtual System::Concurrency::Task<PermissionStatus> status(Permission permission) = 0;
    // May show the system's prompt; gives the status afterwards.
    virtual System::Concurrency::Task<PermissionStatus> request(Permission permission) = 0;
};

} // namespace TessarinCore
