#pragma once

#include "System/Log/ErrorDescription.h"

#include <exception>
#include <string>

namespace System::Input {

// Why global key input cannot be read or posted.
class InputError : public System::Log::DescribedError {
public:
    enum class Kind {
        displayUnavailable, // no X server answers at the display named by $DISPLAY
        extensionMissing,   // the server lacks an extension the operation needs
        connectionLost,     // the server went away while the operation ran
    };

    InputError(Kind kind, std::string detail);

    Kind kind() const { return kind_; }
    // The display name or the extension name.
    const std::string& detail() const { return detail_; }

private:
    Kind kind_;
    std::string detail_;
};

} // namespace System::Input
