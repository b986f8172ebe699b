#include "System/Speech/AssetInventory.h"

#include "System/Speech/SpeechWorker.h"

namespace System::Speech {

AssetInstallationRequest::AssetInstallationRequest(std::shared_ptr<RecognitionBackend> backend,
                                                   std::vector<Locale> locales, Concurrency::Executor& worker)
    : backend_(std::move(backend))
    , locales_(std::move(locales))
    , worker_(worker) {}

Concurrency::Task<void> AssetInstallationRequest::downloadAndInstall() {
    co_await Concurrency::runOn(worker_, [backend = backend_, locales = locales_, progress = progress_] {
        const double share = 1.0 / double(locales.size());
        for (std::size_t i = 0; i < locales.size(); ++i) {
            backend->install(locales[i], [&](double fraction) {
                progress->setFractionCompleted((double(i) + fraction) * share);
            });
        }
        progress->setFractionCompleted(1.0);
    });
}

std::shared_ptr<AssetInstallationRequest>
AssetInventory::assetInstallationRequest(const std::vector<std::shared_ptr<SpeechModule>>& modules) {
    return assetInstallationRequest(modules, sharedSpeechWorker());
}

std::shared_ptr<AssetInstallationRequest>
AssetInventory::assetInstallationRequest(const std::vector<std::shared_ptr<SpeechModule>>& modules,
                                         Concurrency::Executor& worker) {
    std::shared_ptr<RecognitionBackend> backend;
    std::vector<Locale> missing;
    for (const auto& module : modules) {
        if (!module->backend()->isInstalled(module->locale()) &&
            std::find(missing.begin(), missing.end(), module->locale()) == missing.end()) {
            backend = module->backend();
            missing.push_back(module->locale());
        }
    }
    if (missing.empty()) {
        return nullptr;
    }
    return std::make_shared<AssetInstallationRequest>(std::move(backend), std::move(missing), worker);
}

} // namespace System::Speech
