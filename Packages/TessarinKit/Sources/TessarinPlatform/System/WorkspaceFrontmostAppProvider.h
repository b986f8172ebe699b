#pragma once

#include "System/Workspace/Workspace.h"
#include "TessarinCore/Ports/FrontmostAppProviding.h"

#include <memory>

namespace TessarinPlatform {

// Tells which application is in front, from the desktop's workspace. Keeps no state of its own.
class WorkspaceFrontmostAppProvider final : public TessarinCore::FrontmostAppProviding {
public:
    // The X session's active window.
    WorkspaceFrontmostAppProvider();
    explicit WorkspaceFrontmostAppProvider(std::shared_ptr<System::Workspace::Workspace> workspace);

    // Answers on the caller's executor.
    System::Concurrency::Task<std::optional<TessarinCore::AppIdentity>> frontmostApp() override;

private:
    std::shared_ptr<System::Workspace::Workspace> workspace_;
};

} // namespace TessarinPlatform
