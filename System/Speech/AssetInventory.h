#pragma once

#include "System/Concurrency/Executor.h"
#include "System/Concurrency/Task.h"
#include "System/Speech/SpeechModule.h"

#include <atomic>
#include <memory>
#include <vector>

namespace System::Speech {

// How far an installation has got; read from any thread.
class InstallationProgress {
public:
    double fractionCompleted() const { return fraction_.load(); }
    void setFractionCompleted(double fraction) { fraction_.store(fraction); }

private:
    std::atomic<double> fraction_{0.0};
};

// The installation of the assets that some modules still lack.
class AssetInstallationRequest {
public:
    AssetInstallationRequest(std::shared_ptr<RecognitionBackend> backend, std::vector<Locale> locales,
                             Concurrency::Executor& worker);

    // Installs everything on the worker and resumes on the caller's executor; throws SpeechError.
    Concurrency::Task<void> downloadAndInstall();
    const InstallationProgress& progress() const { return *progress_; }

private:
    std::shared_ptr<RecognitionBackend> backend_;
    std::vector<Locale> locales_;
    Concurrency::Executor& worker_;
    std::shared_ptr<InstallationProgress> progress_ = std::make_shared<InstallationProgress>();
};

class AssetInventory {
public:
    // Nothing when every asset the modules need is installed; else the request that installs the rest, on
    // `worker` (the shared speech worker by default).
    static std::shared_ptr<AssetInstallationRequest>
    assetInstallationRequest(const std::vector<std::shared_ptr<SpeechModule>>& modules);
    static std::shared_ptr<AssetInstallationRequest>
    assetInstallationRequest(const std::vector<std::shared_ptr<SpeechModule>>& modules,
                             Concurrency::Executor& worker);
};

} // namespace System::Speech
