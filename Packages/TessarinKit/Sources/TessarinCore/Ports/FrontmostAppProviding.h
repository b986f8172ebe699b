#pragma once

#include "System/Concurrency/Task.h"
#include "TessarinCore/Domain/Dictation.h"

#include <optional>

namespace TessarinCore {

// Tells which application is in front.
class FrontmostAppProviding {
public:
    virtual ~FrontmostAppProviding() = default;

    // The application in front at the moment of the call, or nothing.
    virtual System::Concurrency::Task<std::optional<AppIdentity>> frontmostApp() = 0;
};

} // namespace TessarinCore
