#pragma once

#include <exception>
#include <string>

namespace System::Input {

// Why global key input cannot be read or posted.
class InputError : public std::exception {
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
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    Kind kind_;
    std::string detail_;
    std::string description_;
};

} // namespace System::Input
