#pragma once

#include "TessarinCore/Domain/Dictation.h"

#include <optional>
#include <string>
#include <variant>

namespace TessarinCore {

// Decides how a finished transcript may go into the application in front: paste, type, or only leave it on
// the clipboard with a reason for the user, where synthetic key events would be lost or land in the wrong
// place.
namespace InsertionPlanner {

struct Context {
    std::optional<AppIdentity> target;    // in front when the dictation began
    std::optional<AppIdentity> frontmost; // in front now
    bool isSecureInputActive = false;
    bool canPostEvents = false;
    std::optional<std::string> ownBundleIdentifier;

    bool operator==(const Context&) const = default;
};

struct Plan {
    struct CopyOnly {
        std::string reason;
        bool operator==(const CopyOnly&) const = default;
    };
    struct Paste {
        bool operator==(const Paste&) const = default;
    };
    struct Type {
        bool operator==(const Type&) const = default;
    };

    std::variant<CopyOnly, Paste, Type> value;

    static Plan copyOnly(std::string reason) { return {CopyOnly{std::move(reason)}}; }
    static Plan paste() { return {Paste{}}; }
    static Plan type() { return {Type{}}; }

    bool operator==(const Plan&) const = default;
};

Plan plan(InsertionMethod method, const Context& context);

} // namespace InsertionPlanner
} // namespace TessarinCore
