#pragma once

#include "System/Concurrency/Task.h"
#include "TessarinCore/Ports/SpeechTranscribing.h"
#include "TessarinPlatform/Cloud/TessarinCloudTranscriber.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Parlindo {

// What the application model uses of the product's cloud service: its speech engine, registered with the
// router, and the device account and version figures shown to the user.
class TessarinCloudService {
public:
    using AccountStatus = TessarinPlatform::TessarinCloudTranscriber::AccountStatus;
    using VersionInfo = TessarinPlatform::TessarinCloudTranscriber::VersionInfo;

    virtual ~TessarinCloudService() = default;

    virtual std::shared_ptr<TessarinCore::SpeechTranscribing> engine() = 0;
    // The device identifier at the service; absent before the first registration.
    virtual std::optional<std::string> supportID() const = 0;
    virtual std::optional<std::int64_t> minutesLeft() const = 0;
    virtual bool isBlocked() const = 0;
    // Throws on transport, status and decoding errors.
    virtual System::Concurrency::Task<AccountStatus> accountStatus() = 0;
    virtual System::Concurrency::Task<VersionInfo> versionInfo() = 0;
};

// The service through the cloud client.
class TessarinCloudClient final : public TessarinCloudService {
public:
    explicit TessarinCloudClient(std::shared_ptr<TessarinPlatform::TessarinCloudTranscriber> transcriber)
        : transcriber_(std::move(transcriber)) {}

    std::shared_ptr<TessarinCore::SpeechTranscribing> engine() override { return transcriber_; }
    std::optional<std::string> supportID() const override { return transcriber_->supportID(); }
    std::optional<std::int64_t> minutesLeft() const override { return transcriber_->minutesLeft(); }
    bool isBlocked() const override { return transcriber_->isBlocked(); }
    System::Concurrency::Task<AccountStatus> accountStatus() override {
        return transcriber_->accountStatus();
    }
    System::Concurrency::Task<VersionInfo> versionInfo() override { return transcriber_->versionInfo(); }

private:
    std::shared_ptr<TessarinPlatform::TessarinCloudTranscriber> transcriber_;
};

} // namespace Parlindo
