#include "TessarinCore/UseCases/InsertionPlanner.h"

#include <gtest/gtest.h>

namespace TessarinCore {
namespace {

using InsertionPlanner::Context;
using InsertionPlanner::Plan;

const std::string accessibilityReason =
    "To paste automatically, run Parlindo in an X11 session or through XWayland";
const std::string switchedReason = "You switched apps while dictating";
const std::string ownAppReason = "No text field to paste into";
const std::string secureInputReason = "Secure input is on (password field?)";
const std::string cannotTellReason = "Cannot tell whether you switched apps while dictating";

AppIdentity app(std::int32_t pid, std::optional<std::string> bundle) {
    return AppIdentity{std::move(bundle), pid, std::nullopt};
}

// An application whose process the desktop does not name, seen through its window (if any).
AppIdentity windowOnly(std::optional<std::uint64_t> window, std::int32_t pid = -1) {
    return AppIdentity{"org.example.editor", pid, std::nullopt, window};
}

// Every fact favourable: the editor that was in front is still in front.
Context favourable() {
    return Context{app(10, "org.example.editor"), app(10, "org.example.editor"), false, true,
                   "com.tessarin.Tessarin"};
}

TEST(InsertionPlannerTests, Plans) {
    const struct {
        const char* name;
        Context context;
        InsertionMethod method;
        Plan plan;
    } cases[] = {
        {"favourable, paste", favourable(), InsertionMethod::paste, Plan::paste()},
        {"favourable, type", favourable(), InsertionMethod::type, Plan::type()},
        {"no event posting wins over everything",
         {app(1, "a"), std::nullopt, true, false, "a"},
         InsertionMethod::type,
         Plan::copyOnly(accessibilityReason)},
        {"target present, nothing in front",
         {app(10, "x"), std::nullopt, false, true, std::nullopt},
         InsertionMethod::paste,
         Plan::copyOnly(switchedReason)},
        {"same process, other bundle identifier: no switch",
         {app(10, "x"), app(10, "y"), false, true, std::nullopt},
         InsertionMethod::paste,
         Plan::paste()},
        {"other process, same bundle identifier: a switch",
         {app(10, "x"), app(11, "x"), false, true, std::nullopt},
         InsertionMethod::type,
         Plan::copyOnly(switchedReason)},
        {"no target skips the switch test",
         {std::nullopt, std::nullopt, false, true, "com.tessarin.Tessarin"},
         InsertionMethod::type,
         Plan::type()},
        {"own application in front before secure input",
         {std::nullopt, app(5, "com.tessarin.Tessarin"), true, true, "com.tessarin.Tessarin"},
         InsertionMethod::paste,
         Plan::copyOnly(ownAppReason)},
        {"a front application without bundle identifier is never our own",
         {std::nullopt, app(5, std::nullopt), false, true, "com.tessarin.Tessarin"},
         InsertionMethod::paste,
         Plan::paste()},
        {"own bundle identifier unknown",
         {std::nullopt, app(5, "com.tessarin.Tessarin"), false, true, std::nullopt},
         InsertionMethod::paste,
         Plan::paste()},
        {"other window of the same process: no switch",
         {windowOnly(1, 10), windowOnly(2, 10), false, true, std::nullopt},
         InsertionMethod::paste,
         Plan::paste()},
        {"processes unknown, same window",
         {windowOnly(0x400001), windowOnly(0x400001), false, true, std::nullopt},
         InsertionMethod::paste,
         Plan::paste()},
        {"processes unknown, other window: a switch",
         {windowOnly(0x400001), windowOnly(0x600001), false, true, std::nullopt},
         InsertionMethod::type,
         Plan::copyOnly(switchedReason)},
        {"one process unknown, other window: a switch",
         {windowOnly(0x400001, 10), windowOnly(0x600001), false, true, std::nullopt},
         InsertionMethod::paste,
         Plan::copyOnly(switchedReason)},
        {"processes unknown, no window to compare",
         {windowOnly(std::nullopt), windowOnly(0x600001), false, true, std::nullopt},
         InsertionMethod::paste,
         Plan::copyOnly(cannotTellReason)},
        {"process identifier 0 is no process",
         {windowOnly(std::nullopt, 0), windowOnly(std::nullopt, 0), false, true, std::nullopt},
         InsertionMethod::type,
         Plan::copyOnly(cannotTellReason)},
        {"secure input blocks typing too",
         {app(10, "x"), app(10, "x"), true, true, "com.tessarin.Tessarin"},
         InsertionMethod::type,
         Plan::copyOnly(secureInputReason)},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(InsertionPlanner::plan(testCase.method, testCase.context), testCase.plan) << testCase.name;
    }
}

} // namespace
} // namespace TessarinCore
