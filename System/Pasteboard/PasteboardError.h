#pragma once

#include "System/Log/ErrorDescription.h"

#include <exception>
#include <string>

namespace System::Pasteboard {

// Why the system clipboard cannot be used.
class PasteboardError : public System::Log::DescribedError {
public:
    enum class Kind {
        displayUnavailable, // no X server answers at the display named by $DISPLAY
        extensionMissing,   // the server lacks an extension the clipboard needs
        writeRefused,       // the server did not hand the clipboard over to a write
    };

    // `subject` is the display's name or the extension's; unused for a refused write.
    PasteboardError(Kind kind, const std::string& subject);

    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

} // namespace System::Pasteboard
