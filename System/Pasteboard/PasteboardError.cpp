#include "System/Pasteboard/PasteboardError.h"
namespace System::Pasteboard {

namespace {
std::string describe(PasteboardError::Kind kind, const std::string& subject) {
    switch (kind) {
    case PasteboardError::Kind::displayUnavailable:
        return "Cannot reach the clipboard: no X display answers at \"" + subject + "\".";
    case PasteboardError::Kind::extensionMissing:
        return "Cannot watch the clipboard: the X server lacks the " + subject + " extension.";
    case PasteboardError::Kind::writeRefused:
        return "The clipboard couldn't be set: the X server didn't hand it over.";
    }
    return "The clipboard can't be used.";
}
} // namespace

PasteboardError::PasteboardError(Kind kind, const std::string& subject)
    : DescribedError(describe(kind, subject))
    , kind_(kind) {}

} // namespace System::Pasteboard
