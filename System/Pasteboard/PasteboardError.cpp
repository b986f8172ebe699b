#include "System/Pasteboard/PasteboardError.h"
namespace System::Pasteboard {

PasteboardError::PasteboardError(Kind kind, const std::string& subject)
    : kind_(kind)
    , description_(kind == Kind::displayUnavailable
                       ? "Cannot reach the clipboard: no X display answers at \"" + subject + "\"."
                       : "Cannot watch the clipboard: the X server lacks the " + subject + " extension.") {}

} // namespace System::Pasteboard
