#include "TestWindow.h"

#include "System/Concurrency/SerialQueue.h"
#include "System/Pasteboard/X11Pasteboard.h"
#include "System/Workspace/Workspace.h"
#include "TessarinPlatform/Insertion/SystemTextInserter.h"
#include "TessarinPlatform/System/WorkspaceFrontmostAppProvider.h"

#include "Eventually.h"

#include <gtest/gtest.h>

#include <future>

using namespace TessarinPlatform;
using System::Pasteboard::PasteboardItem;
using TessarinCore::AppIdentity;
using TessarinCore::InsertionMethod;
using TessarinCore::InsertionOutcome;
using TessarinCore::InsertionRequest;
namespace Con = System::Concurrency;

namespace {

// The inserter on a queue standing in for the main actor, which lives on for the later restore.
class Harness {
public:
    Harness() { workspace->frontmost = System::Workspace::RunningApplication{"TestWindow", 100, "test"}; }

    InsertionOutcome insert(std::string text, InsertionMethod method,
                            std::optional<AppIdentity> target = {}) {
        std::promise<InsertionOutcome> outcome;
        Con::spawn(
            mainActor,
            deliver(inserter.insert(InsertionRequest{std::move(text), target, method, true}), outcome));
        return outcome.get_future().get();
    }

    // Returns once every restore the insertions so far may have set off has had its turn. Restores are
    // spawned on the queue and sleep there: once a job posted now has run, each has set its timer; a timer
    // set after that for the whole delay fires after theirs, and a job it posts runs after what they resumed.
    void waitPastRestores() {
        std::promise<void> timersSet;
        mainActor.post([&] { timersSet.set_value(); });
        timersSet.get_future().wait();
        std::promise<void> passed;
        mainActor.scheduleAfter(restoreDelay, [&] { mainActor.post([&] { passed.set_value(); }); });
        passed.get_future().wait();
    }

    static constexpr auto restoreDelay = Con::Duration::milliseconds(350);
    std::shared_ptr<System::Workspace::FakeWorkspace> workspace =
        std::make_shared<System::Workspace::FakeWorkspace>();
    Con::SerialQueue mainActor{"main-actor-stand-in"};
    SystemTextInserter inserter{std::make_shared<WorkspaceFrontmostAppProvider>(workspace), restoreDelay,
                                "Parlindo"};

private:
    static Con::Task<void> deliver(Con::Task<InsertionOutcome> task,
                                   std::promise<InsertionOutcome>& outcome) {
        outcome.set_value(co_await std::move(task));
    }
};

std::optional<std::string> clipboardText(System::Pasteboard::Pasteboard& pasteboard) {
    const auto items = pasteboard.contents();
    return items.empty() ? std::nullopt : items[0].data(System::Pasteboard::stringType);
}

} // namespace

TEST(SystemTextInserterX11Tests, typedTextArrivesExactly) {
    TestWindow window;
    Harness harness;
    for (const std::string text :
         {"café – naïve", "مرحبا", "A longer sentence, typed in chunks of twenty units."}) {
        window.clear();
        EXPECT_EQ(harness.insert(text, InsertionMethod::type), InsertionOutcome::inserted());
        EXPECT_TRUE(window.waitForText(text)) << "got \"" << window.text() << "\"";
    }
}

TEST(SystemTextInserterX11Tests, pastePutsTheTextInThenRestoresTheClipboard) {
    TestWindow window;
    Harness harness;
    // The user copied something in another application first.
    System::Pasteboard::X11Pasteboard otherApplication;
    PasteboardItem before;
    before.setString("what the user had");
    before.setData("text/html", "<p>what the user had</p>");
    otherApplication.setContents({before});

    EXPECT_EQ(harness.insert("café – naïve مرحبا", InsertionMethod::paste), InsertionOutcome::inserted());
    EXPECT_TRUE(window.waitForText("café – naïve مرحبا")) << "got \"" << window.text() << "\"";
    // Read through X the item also lists the aliases its owner offers for text; the user's types are all
    // back.
    ASSERT_TRUE(eventually([&] {
        const auto now = otherApplication.contents();
        return now.size() == 1 && now[0].data("UTF8_STRING") == before.data("UTF8_STRING") &&
               now[0].data("text/html") == before.data("text/html") &&
               !now[0].data(SystemTextInserter::transientType);
    })) << "the clipboard was not given back";
}

TEST(SystemTextInserterX11Tests, copyOnlyLeavesTheTextOnTheClipboard) {
    Harness harness;
    System::Pasteboard::X11Pasteboard reader;
    // The dictation began in another application than the one in front now.
    const auto outcome =
        harness.insert("only copied", InsertionMethod::paste, AppIdentity{"Elsewhere", 5, {}});
    EXPECT_EQ(outcome, InsertionOutcome::copiedToClipboard("You switched apps while dictating"));
    EXPECT_EQ(clipboardText(reader), "only copied");
    harness.waitPastRestores();
    EXPECT_EQ(clipboardText(reader), "only copied");
}
