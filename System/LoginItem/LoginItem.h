#pragma once

#include "System/Log/ErrorDescription.h"

#include <exception>
#include <string>

namespace System::LoginItem {

// Whether the application opens when the user logs in. The raw values are fixed: log lines name them.
enum class Status : int {
    notRegistered = 0,
    enabled = 1,
    requiresApproval = 2, // registered, waiting for the user to allow it
    notFound = 3,         // registered, but the entry names a program that is not there
};

// "not registered", "enabled", "requires approval", "not found"; "unknown (n)" for any other raw value n.
std::string name(Status status);

// A registration that could not be changed.
class LoginItemError : public System::Log::DescribedError {
public:
    using DescribedError::DescribedError;
};

// The running application's own login item.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;

    // Read afresh on every call: the user may change it outside the application.
    virtual Status status() const = 0;
    // Makes the application open at login; throws LoginItemError when it cannot.
    virtual void registerItem() = 0;
    // Stops the application opening at login; succeeds when it was not registered. Throws LoginItemError.
    virtual void unregister() = 0;
    // False when the registration would start the application otherwise than registering it now would
    // (another program, or without the settings this start was given); true when there is none.
    virtual bool isCurrent() const { return true; }
};

} // namespace System::LoginItem
