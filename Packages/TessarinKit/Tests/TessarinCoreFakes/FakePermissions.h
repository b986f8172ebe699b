#pragma once

#include "FakeOperation.h"
#include "TessarinCore/Ports/PermissionsProviding.h"

#include <map>
#include <vector>

namespace TessarinCore::Fakes {

// Permissions as the test sets them (notDetermined when unset). A request turns the permission into its
// entry of `answers` when there is one, as if the user had answered the prompt.
class FakePermissions final : public PermissionsProviding {
public:
    std::map<Permission, PermissionStatus> statuses;
    std::map<Permission, PermissionStatus> answers;
    std::vector<Permission> requests;
    FakeOperation<void> reading;
    FakeOperation<void> requesting;

    System::Concurrency::Task<PermissionStatus> status(Permission permission) override {
        co_await reading.call([] {});
        co_return current(permission);
    }
    System::Concurrency::Task<PermissionStatus> request(Permission permission) override {
        requests.push_back(permission);
        co_await requesting.call([] {});
        if (const auto answer = answers.find(permission); answer != answers.end()) {
            statuses[permission] = answer->second;
        }
        co_return current(permission);
    }

private:
    PermissionStatus current(Permission permission) const {
        const auto found = statuses.find(permission);
        return found == statuses.end() ? PermissionStatus::notDetermined : found->second;
    }
};

} // namespace TessarinCore::Fakes
