#include "TessarinPlatform/Insertion/PasteboardSnapshot.h"

#include "System/Pasteboard/PasteboardError.h"

namespace TessarinPlatform {

using System::Pasteboard::PasteboardItem;

System::Concurrency::Task<PasteboardSnapshot>
PasteboardSnapshot::of(System::Pasteboard::Pasteboard& pasteboard) {
    auto items = co_await System::Concurrency::withContinuation<std::vector<PasteboardItem>>(
        [&pasteboard](System::Concurrency::Continuation<std::vector<PasteboardItem>> continuation) {
            pasteboard.readContents([continuation](std::vector<PasteboardItem> contents) {
                continuation.resume(std::move(contents));
            });
        });
    co_return PasteboardSnapshot{std::move(items)};
}

void PasteboardSnapshot::restore(System::Pasteboard::Pasteboard& pasteboard) const {
    try {
        pasteboard.setContents(items);
    } catch (const System::Pasteboard::PasteboardError&) {
        // The clipboard keeps the dictated text; there is nothing better to put back.
    }
}

} // namespace TessarinPlatform
