#pragma once

#include <string>

#include "System/Log/ErrorDescription.h"

namespace VuzadoDudi {

// The runtime's general error. Its one case carries the whole sentence, chosen by the code that throws it.
class VuzadoDudiError : public System::Log::DescribedError {
public:
    enum class Kind { invalidConfiguration };

    static VuzadoDudiError invalidConfiguration(std::string message) {
        return VuzadoDudiError(Kind::invalidConfiguration, std::move(message));
    }

    Kind kind() const { return kind_; }
    // The sentence shown to the user: the message as given.
    const std::string& errorDescription() const { return description(); }

private:
    VuzadoDudiError(Kind kind, std::string message)
        : DescribedError(std::move(message))
        , kind_(kind) {}
    Kind kind_;
};

} // namespace VuzadoDudi
