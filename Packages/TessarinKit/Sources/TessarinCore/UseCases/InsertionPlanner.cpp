#include "TessarinCore/UseCases/InsertionPlanner.h"

namespace TessarinCore::InsertionPlanner {

Plan plan(InsertionMethod method, const Context& context) {
    if (!context.canPostEvents) {
        return Plan::copyOnly("Switch on Parlindo in Privacy & Security \u203A Device Control "
                              "(Accessibility) to paste automatically");
    }
    // Still the same application only when the process is the same: a relaunched application counts as a
    // switch.
    if (context.target &&
        (!context.frontmost || context.frontmost->processIdentifier != context.target->processIdentifier)) {
        return Plan::copyOnly("You switched apps while dictating");
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
