#include "System/LoginItem/LoginItem.h"

namespace System::LoginItem {

std::string name(Status status) {
    switch (status) {
    case Status::notRegistered:
        return "not registered";
    case Status::enabled:
        return "enabled";
    case Status::requiresApproval:
        return "requires approval";
    case Status::notFound:
        return "not found";
    }
    return "unknown (" + std::to_string(static_cast<int>(status)) + ")";
}

} // namespace System::LoginItem
