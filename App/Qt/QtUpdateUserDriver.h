#pragma once

#include "TessarinUpdates/UpdateUserDriver.h"

namespace Parlindo {

// The updater's messages to the user, as dialogs that do not block the event loop.
class QtUpdateUserDriver final : public TessarinUpdates::UpdateUserDriver {
public:
    void showUpdateFound(const TessarinUpdates::AppcastItem& item, const std::string& currentVersion,
                         bool userInitiated, std::function<void(Choice)> reply) override;
    void showUpToDate(const std::string& currentVersion) override;
    void showUpdateError(const std::string& message) override;
};

} // namespace Parlindo
