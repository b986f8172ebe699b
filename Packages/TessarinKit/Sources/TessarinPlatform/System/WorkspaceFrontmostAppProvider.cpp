#include "TessarinPlatform/System/WorkspaceFrontmostAppProvider.h"

#include "System/Workspace/X11Workspace.h"

namespace TessarinPlatform {

WorkspaceFrontmostAppProvider::WorkspaceFrontmostAppProvider()
    : WorkspaceFrontmostAppProvider(std::make_shared<System::Workspace::X11Workspace>()) {}

WorkspaceFrontmostAppProvider::WorkspaceFrontmostAppProvider(
    std::shared_ptr<System::Workspace::Workspace> workspace)
    : workspace_(std::move(workspace)) {}

System::Concurrency::Task<std::optional<TessarinCore::AppIdentity>>
WorkspaceFrontmostAppProvider::frontmostApp() {
    // A few round trips to the local display server: cheap enough to make on the caller's executor.
    auto application = workspace_->frontmostApplication();
    if (!application) {
        co_return std::nullopt;
    }
    co_return TessarinCore::AppIdentity{application->bundleIdentifier, application->processIdentifier,
                                        application->localizedName, application->windowIdentifier};
}

} // namespace TessarinPlatform
