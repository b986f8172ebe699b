#include "TessarinPlatform/Insertion/SystemTextInserter.h"

#include "System/Concurrency/Cancellation.h"
#include "System/Input/X11SyntheticKeyboard.h"
#include "System/Log/Logger.h"
#include "System/Pasteboard/PasteboardError.h"
#include "System/Pasteboard/X11Pasteboard.h"
#include "TessarinCore/Domain/Overloaded.h"
#include "TessarinCore/Domain/Unicode.h"

#include <mutex>

namespace TessarinPlatform {

namespace Con = System::Concurrency;
using System::Pasteboard::AccessBehavior;
using System::Pasteboard::PasteboardItem;
using TessarinCore::InsertionOutcome;
using TessarinCore::InsertionRequest;
namespace InsertionPlanner = TessarinCore::InsertionPlanner;

namespace {

const System::Log::Logger logger{"com.tessarin.Tessarin", "Insertion"};

std::string describe(const InsertionPlanner::Plan& plan) {
    return std::visit(TessarinCore::Overloaded{
                          [](const InsertionPlanner::Plan::CopyOnly& copy) {
                              return "copyOnly(reason: \"" + copy.reason + "\")";
                          },
                          [](const InsertionPlanner::Plan::Paste&) { return std::string("paste"); },
                          [](const InsertionPlanner::Plan::Type&) { return std::string("type"); },
                      },
                      plan.value);
}

// Sleeps, but a cancelled task goes on at once instead of stopping: text half typed or a clipboard never
// given back would be worse than a missing pause.
Con::Task<void> pause(Con::Duration duration) {
    try {
        co_await Con::sleep(duration);
    } catch (const Con::CancellationError&) {
    }
}

} // namespace

// What the inserter shares with its restore tasks, which may outlive it.
struct SystemTextInserter::Shared {
    std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard;
    std::shared_ptr<System::Input::SyntheticKeyboard> keyboard;

    // The restore still to come after the latest paste: the user's contents from before the first of a run
    // of pastes, and the change count that paste left.
    struct PendingRestore {
        std::uint64_t paste = 0;
        std::int64_t changeCount = 0;
        PasteboardSnapshot snapshot;
    };
    std::mutex mutex;
    std::optional<PendingRestore> pending;
    std::uint64_t pastes = 0;

    // The pending snapshot, when the clipboard still holds what the last paste put there.
    std::optional<PasteboardSnapshot> takePending(std::int64_t changeCount) {
        std::lock_guard lock(mutex);
        auto taken = std::exchange(pending, std::nullopt);
        if (taken && taken->changeCount == changeCount) {
            return std::move(taken->snapshot);
        }
        return std::nullopt;
    }

    std::uint64_t remember(PasteboardSnapshot snapshot, std::int64_t changeCount) {
        std::lock_guard lock(mutex);
        pending = PendingRestore{++pastes, changeCount, std::move(snapshot)};
        return pastes;
    }

    static Con::Task<void> restoreLater(std::shared_ptr<Shared> shared, std::uint64_t paste,
                                        Con::Duration delay) {
        co_await pause(delay);
        std::optional<PendingRestore> due;
        {
            std::lock_guard lock(shared->mutex);
            // A later paste took the restore over.
            if (shared->pending && shared->pending->paste == paste) {
                due = std::exchange(shared->pending, std::nullopt);
            }
        }
        // Anything copied since the paste is the user's newer choice: leave it.
        if (due && shared->pasteboard->changeCount() == due->changeCount) {
            due->snapshot.restore(*shared->pasteboard);
        }
    }
};

SystemTextInserter::SystemTextInserter(std::shared_ptr<TessarinCore::FrontmostAppProviding> frontmostApp,
                                       Con::Duration restoreDelay,
                                       std::optional<std::string> ownBundleIdentifier)
    : SystemTextInserter(std::move(frontmostApp), restoreDelay, std::move(ownBundleIdentifier),
                         std::make_shared<System::Pasteboard::X11Pasteboard>(),
                         std::make_shared<System::Input::X11SyntheticKeyboard>()) {}

SystemTextInserter::SystemTextInserter(std::shared_ptr<TessarinCore::FrontmostAppProviding> frontmostApp,
                                       Con::Duration restoreDelay,
                                       std::optional<std::string> ownBundleIdentifier,
                                       std::shared_ptr<System::Pasteboard::Pasteboard> pasteboard,
                                       std::shared_ptr<System::Input::SyntheticKeyboard> keyboard)
    : frontmostApp_(std::move(frontmostApp))
    , restoreDelay_(restoreDelay)
    , ownBundleIdentifier_(std::move(ownBundleIdentifier))
    , shared_(std::make_shared<Shared>()) {
    shared_->pasteboard = std::move(pasteboard);
    shared_->keyboard = std::move(keyboard);
}

Con::Task<InsertionOutcome> SystemTextInserter::insert(InsertionRequest request) {
    const auto frontmost = co_await frontmostApp_->frontmostApp();
    // X11 has no system-wide secure keyboard entry to read.
    const InsertionPlanner::Context context{request.target, frontmost, false,
                                            shared_->keyboard->canPostEvents(), ownBundleIdentifier_};
    const auto plan = InsertionPlanner::plan(request.method, context);
    logger.info(
        "Inserting into {} by {}",
        System::Log::Public(frontmost && frontmost->bundleIdentifier ? *frontmost->bundleIdentifier : "?"),
        System::Log::Public(describe(plan)));

    if (std::holds_alternative<InsertionPlanner::Plan::Type>(plan.value)) {
        co_await type(std::move(request.text));
        co_return InsertionOutcome::inserted();
    }
    // A clipboard the system would not hand over must not be reported as holding the text: pasting then would
    // insert whatever it held before.
    std::optional<std::string> refusal;
    try {
        if (std::holds_alternative<InsertionPlanner::Plan::Paste>(plan.value)) {
            co_await paste(std::move(request));
            co_return InsertionOutcome::inserted();
        }
        PasteboardItem item;
        item.setString(request.text);
        shared_->pasteboard->setContents({item});
    } catch (const System::Pasteboard::PasteboardError& error) {
        refusal = error.description();
    }
    if (refusal) {
        logger.error("Insertion skipped: {}", System::Log::Public(*refusal));
        co_return InsertionOutcome::skipped(*refusal);
    }
    co_return InsertionOutcome::copiedToClipboard(
        std::get<InsertionPlanner::Plan::CopyOnly>(plan.value).reason);
}

Con::Task<void> SystemTextInserter::paste(InsertionRequest request) {
    auto& pasteboard = *shared_->pasteboard;
    Con::Executor* executor = co_await Con::currentExecutor();
    const auto restoreLater = [&](PasteboardSnapshot snapshot, std::int64_t changeCount) {
        const auto paste = shared_->remember(std::move(snapshot), changeCount);
        Con::spawn(*executor, Shared::restoreLater(shared_, paste, restoreDelay_));
    };
    std::optional<PasteboardSnapshot> snapshot;
    bool snapshotWasPending = false;
    const auto behavior = pasteboard.accessBehavior();
    if (request.restoresClipboard &&
        (behavior == AccessBehavior::standard || behavior == AccessBehavior::alwaysAllow)) {
        const auto before = pasteboard.changeCount();
        snapshot = shared_->takePending(before);
        snapshotWasPending = snapshot.has_value();
        if (!snapshot) {
            snapshot = co_await PasteboardSnapshot::of(pasteboard);
        }
    }
    PasteboardItem item;
    item.setString(request.text);
    item.setData(transientType, "");
    item.setData(autoGeneratedType, "");
    std::int64_t changeCount = 0;
    try {
        changeCount = pasteboard.setContents({item});
    } catch (const System::Pasteboard::PasteboardError&) {
        // The clipboard still holds the previous paste's text: its restore must still come.
        if (snapshotWasPending) {
            restoreLater(std::move(*snapshot), pasteboard.changeCount());
        }
        throw;
    }
    shared_->keyboard->postPasteShortcut();
    if (snapshot) {
        restoreLater(std::move(*snapshot), changeCount);
    }
}

Con::Task<void> SystemTextInserter::type(std::string text) {
    const auto units = TessarinCore::Unicode::fromUtf8(text);
    const std::u16string_view view(units.getBuffer(), std::size_t(units.length()));
    for (const auto& chunk : keystrokeChunks(view, chunkUnits)) {
        const auto chunkText =
            TessarinCore::Unicode::toUtf8(icu::UnicodeString(chunk.data(), int32_t(chunk.size())));
        shared_->keyboard->typeText(TessarinCore::Unicode::codePoints(chunkText));
        co_await pause(typingPause);
    }
}

std::vector<std::u16string> SystemTextInserter::keystrokeChunks(std::u16string_view text,
                                                                std::size_t maxUnits) {
    std::vector<std::u16string> chunks;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t length = std::min(maxUnits, text.size() - start);
        const bool moreFollow = text.size() - start > maxUnits;
        if (moreFollow && (text[start + length - 1] & 0xFC00) == 0xD800) {
            --length;
        }
        chunks.emplace_back(text.substr(start, length));
        start += length;
    }
    return chunks;
}

} // namespace TessarinPlatform
