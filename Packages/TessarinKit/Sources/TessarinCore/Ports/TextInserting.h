#pragma once

#include "System/Concurrency/Task.h"
#include "TessarinCore/Domain/Dictation.h"

namespace TessarinCore {

// Puts text into the application in front.
class TextInserting {
public:
    virtual ~TextInserting() = default;

    // Always gives an outcome: a failure to insert is copiedToClipboard or skipped with a reason, never
    // thrown.
    virtual System::Concurrency::Task<InsertionOutcome> insert(InsertionRequest request) = 0;
};

} // namespace TessarinCore
