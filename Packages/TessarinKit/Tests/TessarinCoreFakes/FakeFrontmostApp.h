#pragma once

#include "FakeOperation.h"
#include "TessarinCore/Ports/FrontmostAppProviding.h"

namespace TessarinCore::Fakes {

// Answers with `app` (nothing by default).
class FakeFrontmostApp final : public FrontmostAppProviding {
public:
    std::optional<AppIdentity> app;
    FakeOperation<std::optional<AppIdentity>> lookup;

    System::Concurrency::Task<std::optional<AppIdentity>> frontmostApp() override {
        return lookup.call([this] { return app; });
    }
};

} // namespace TessarinCore::Fakes
