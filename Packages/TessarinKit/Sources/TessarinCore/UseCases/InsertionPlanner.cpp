#include "TessarinCore/UseCases/InsertionPlanner.h"

namespace TessarinCore::InsertionPlanner {

namespace {

enum class Sameness { same, different, unknown };

// Still the same application only when the process is the same: a relaunched application counts as a
// switch. Where a process is unknown, only the window can tell; without it nobody can, and a guess would
// send the keys into whatever window is in front.
Sameness compare(const AppIdentity& target, const AppIdentity& frontmost) {
    if (target.hasKnownProcess() && frontmost.hasKnownProcess()) {
        return target.processIdentifier == frontmost.processIdentifier ? Sameness::same : Sameness::different;
    }
    if (target.windowIdentifier && frontmost.windowIdentifier) {
        return *target.windowIdentifier == *frontmost.windowIdentifier ? Sameness::same : Sameness::different;
    }
    return Sameness::unknown;
}

} // namespace

Plan plan(InsertionMethod method, const Context& context) {
    if (!context.canPostEvents) {
        return Plan::copyOnly("To paste automatically, run Parlindo in an X11 session or through XWayland");
    }
    if (context.target) {
        const auto sameness =
            context.frontmost ? compare(*context.target, *context.frontmost) : Sameness::different;
        if (sameness == Sameness::different) {
            return Plan::copyOnly("You switched apps while dictating");
        }
        if (sameness == Sameness::unknown) {
            return Plan::copyOnly("Cannot tell whether you switched apps while dictating");
        }
    }
    if (context.ownBundleIdentifier && context.frontmost && context.frontmost->bundleIdentifier &&
        *context.frontmost->bundleIdentifier == *context.ownBundleIdentifier) {
        return Plan::copyOnly("No text field to paste into");
    }
    // Secure input swallows typed keys as well as the paste shortcut.
    if (context.isSecureInputActive) {
        return Plan::copyOnly("Secure input is on (password field?)");
    }
    return method == InsertionMethod::type ? Plan::type() : Plan::paste();
}

} // namespace TessarinCore::InsertionPlanner
