#pragma once

#include "System/LoginItem/LoginItem.h"

#include <optional>
#include <string>
#include <vector>

namespace System::LoginItem {

// An in-memory login item for tests: registering enables it (or leaves it waiting for approval when told
// to), unregistering clears it, and either can be made to fail once. Every call is recorded in order.
class FakeLoginItem final : public LoginItemService {
public:
    explicit FakeLoginItem(Status initial = Status::notRegistered)
        : status_(initial) {}

    Status status() const override {
        calls.push_back("status");
        return status_;
    }
    void registerItem() override {
        calls.push_back("register");
        throwPendingFailure();
        status_ = registrationNeedsApproval ? Status::requiresApproval : Status::enabled;
        current = true;
    }
    void unregister() override {
        calls.push_back("unregister");
        throwPendingFailure();
        status_ = Status::notRegistered;
    }

    void setStatus(Status status) { status_ = status; }
    bool isCurrent() const override { return current; }

    // The next register or unregister throws this description and changes nothing.
    std::optional<std::string> nextFailure;
    bool registrationNeedsApproval = false;
    // What isCurrent() answers until the next registration.
    bool current = true;
    mutable std::vector<std::string> calls;

private:
    void throwPendingFailure() {
        if (nextFailure) {
            const std::string description = *nextFailure;
            nextFailure.reset();
            throw LoginItemError(description);
        }
    }
    Status status_;
};

} // namespace System::LoginItem
