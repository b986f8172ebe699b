#include "App/KeyNames.h"

#include <utility>

namespace Parlindo {

std::string methodName(TessarinCore::InsertionMethod method) {
    switch (method) {
    case TessarinCore::InsertionMethod::paste:
        return std::string("Pasting (") + pasteShortcut + ")";
    case TessarinCore::InsertionMethod::type:
        return "Typing";
    }
    return {};
}

} // namespace Parlindo
