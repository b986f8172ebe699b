#include "System/Keychain/Keychain.h"

namespace System::Keychain {

std::optional<std::string> errorMessage(Status value) {
    switch (value) {
    case status::success:
        return "No error.";
    case status::userCanceled:
        return "User canceled the operation.";
    case status::parameter:
        return "One or more parameters passed to a function were not valid.";
    case status::internalComponent:
        return "An internal component failed.";
    case status::notAvailable:
        return "No keychain is available: the Secret Service (a keyring daemon) isn't running in this "
               "session.";
    case status::authFailed:
        return "The user name or passphrase you entered is not correct.";
    case status::duplicateItem:
        return "The specified item already exists in the keychain.";
    case status::itemNotFound:
        return "The specified item could not be found in the keychain.";
    case status::interactionNotAllowed:
        return "User interaction is not allowed.";
    default:
        return std::nullopt;
    }
}

} // namespace System::Keychain
