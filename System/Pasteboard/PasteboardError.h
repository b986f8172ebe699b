#pragma once

#include <exception>
#include <string>

namespace System::Pasteboard {

// Why the system clipboard cannot be used.
class PasteboardError : public std::exception {
public:
    enum class Kind {
        displayUnavailable, // no X server answers at the display named by $DISPLAY
        extensionMissing,   // the server lacks an extension the clipboard needs
        writeRefused,       // the server did not hand the clipboard over to a write
    };

    // `subject` is the display's name or the extension's; unused for a refused write.
    PasteboardError(Kind kind, const std::string& subject);

    Kind kind() const { return kind_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    Kind kind_;
    std::string description_;
};

} // namespace System::Pasteboard
