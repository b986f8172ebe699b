#include "TessarinPlatform/Insertion/PasteboardSnapshot.h"

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
    pasteboard.setContents(items);
}

} // namespace TessarinPlatform
