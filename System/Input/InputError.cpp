#include "System/Input/InputError.h"

#include <utility>

namespace System::Input {

namespace {
std::string describe(InputError::Kind kind, const std::string& detail) {
    switch (kind) {
    case InputError::Kind::displayUnavailable:
        return "Cannot connect to the X display \"" + detail + "\".";
    case InputError::Kind::extensionMissing:
        return "The X server lacks the " + detail + " extension.";
    case InputError::Kind::connectionLost:
        return "The connection to the X display \"" + detail + "\" was lost.";
    }
    return "Keyboard input is unavailable.";
}
} // namespace

InputError::InputError(Kind kind, std::string detail)
    : DescribedError(describe(kind, detail))
    , kind_(kind)
    , detail_(std::move(detail)) {}

} // namespace System::Input
