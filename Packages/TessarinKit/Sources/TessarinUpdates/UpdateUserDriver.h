#pragma once

#include "TessarinUpdates/Appcast.h"

#include <functional>
#include <string>

namespace TessarinUpdates {

// The windows through which the updater speaks to the user. Called on the main actor.
class UpdateUserDriver {
public:
    enum class Choice { download, dismiss };

    virtual ~UpdateUserDriver() = default;

    // A newer release exists; `reply` is called once, on the main actor, with what the user chose.
    virtual void showUpdateFound(const AppcastItem& item, const std::string& currentVersion,
                                 bool userInitiated, std::function<void(Choice)> reply) = 0;
    // After a check the user asked for: nothing newer than `currentVersion`.
    virtual void showUpToDate(const std::string& currentVersion) = 0;
    // After a check the user asked for: the check failed, for the reason given.
    virtual void showUpdateError(const std::string& message) = 0;
};

} // namespace TessarinUpdates
