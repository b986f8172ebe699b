#pragma once

#include "System/Concurrency/Task.h"
#include "System/Pasteboard/Pasteboard.h"

#include <vector>

namespace TessarinPlatform {

// The full contents of a pasteboard: one entry per item, in order, each with every type that has data.
struct PasteboardSnapshot {
    std::vector<System::Pasteboard::PasteboardItem> items;

    // Reads the contents without blocking the caller's executor (the owner may be another application).
    static System::Concurrency::Task<PasteboardSnapshot> of(System::Pasteboard::Pasteboard& pasteboard);
    // Clears the pasteboard and writes every item back in one write; an empty snapshot leaves it empty.
    void restore(System::Pasteboard::Pasteboard& pasteboard) const;

    bool operator==(const PasteboardSnapshot&) const = default;
};

} // namespace TessarinPlatform
