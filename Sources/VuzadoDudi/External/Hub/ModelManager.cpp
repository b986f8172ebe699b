#include "VuzadoDudi/External/Hub/ModelManager.h"

#include "VuzadoDudi/Logging.h"
#include "VuzadoDudi/VuzadoDudiError.h"

#include <cxxabi.h>
#include <typeinfo>

namespace fs = std::filesystem;
using System::Concurrency::Task;

namespace VuzadoDudi {

Task<void> LoadModelsCoordinator::run(std::function<Task<void>()> operation) {
    auto* executor = co_await System::Concurrency::currentExecutor();
    System::Concurrency::TaskHandle<void> load;
    bool started = false;
    {
        std::lock_guard lock(mutex_);
        if (inflightLoad_) {
            load = *inflightLoad_;
        } else {
            // The load runs as a task of its own, so a caller that stops waiting does not stop it for the
            // others.
            struct Runner {
                static Task<void> run(std::function<Task<void>()> operation) { co_await operation(); }
            };
            load = System::Concurrency::spawn(*executor, Runner::run(std::move(operation)));
            inflightLoad_ = load;
            started = true;
        }
    }
    std::exception_ptr failure;
    try {
        co_await load.value();
    } catch (...) {
        failure = std::current_exception();
    }
    if (started) {
        std::lock_guard lock(mutex_);
        inflightLoad_.reset();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

ModelManager::ModelManager(Construction, std::shared_ptr<ModelLoader> loader,
                           std::shared_ptr<ModelDownloader> downloader)
    : downloader_(std::move(downloader))
    , loader_(std::move(loader)) {}

const std::string& ModelManager::loggerName() const {
    std::call_once(loggerNameOnce_, [this] {
        int status = 0;
        char* demangled = abi::__cxa_demangle(typeid(*this).name(), nullptr, nullptr, &status);
        std::string name = status == 0 && demangled != nullptr ? demangled : typeid(*this).name();
        std::free(demangled);
        loggerName_ = name.substr(name.rfind("::") == std::string::npos ? 0 : name.rfind("::") + 2);
    });
    return loggerName_;
}

void ModelManager::setModelState(ModelState state) {
    const auto old = modelState_;
    modelState_ = state;
    if (old != state && modelStateCallback) {
        modelStateCallback(old, state);
    }
}

std::optional<fs::path> ModelManager::modelFolder() const {
    const auto folder = loader_->modelFolder();
    return folder ? std::optional<fs::path>(*folder) : std::nullopt;
}

bool ModelManager::isAvailable() const {
    return modelState_ == ModelState::loading || modelState_ == ModelState::loaded ||
           modelState_ == ModelState::downloaded;
}

fs::path ModelManager::resolvedPath() const {
    if (modelPath_) {
        return *modelPath_;
    }
    if (const auto folder = loader_->modelFolder()) {
        return *folder;
    }
    throw VuzadoDudiError::invalidConfiguration(
        "No model path available. Call downloadModels() first, or provide modelFolder.");
}

Task<void> ModelManager::downloadModels(HubApi::ProgressHandler progressCallback) {
    const auto prefix = "[" + loggerName() + "] ";
    if (modelState_ != ModelState::unloaded) {
        Logging::debug(prefix + "Models already downloaded (state: " + std::string(description(modelState_)) +
                       "), skipping download");
        co_return;
    }
    if (const auto folder = loader_->modelFolder()) {
        Logging::debug(prefix + "modelFolder is set, skipping download");
        modelPath_ = fs::path(*folder);
        setModelState(ModelState::downloaded);
        co_return;
    }
    Logging::info(prefix + "Starting download process...");
    setModelState(ModelState::downloading);
    std::exception_ptr failure;
    try {
        const auto path = co_await loader_->resolveModels(*downloader_, std::move(progressCallback));
        modelPath_ = fs::path(path);
        setModelState(ModelState::downloaded);
        Logging::info(prefix + "Models downloaded to " + path);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        setModelState(ModelState::unloaded);
        Logging::error(prefix + "Failed to download models: " + System::Log::errorDescription(failure));
        std::rethrow_exception(failure);
    }
}

Task<void> ModelManager::prewarmModels() {
    const auto prefix = "[" + loggerName() + "] ";
    if (modelState_ == ModelState::unloaded) {
        co_await downloadModels({});
    }
    const auto path = resolvedPath();
    if (modelState_ == ModelState::prewarmed) {
        Logging::debug(prefix + "Models already prewarmed, skipping");
        co_return;
    }
    if (modelState_ != ModelState::downloaded) {
        throw VuzadoDudiError::invalidConfiguration("Cannot prewarm in state: " +
                                                    std::string(description(modelState_)));
    }
    setModelState(ModelState::prewarming);
    std::exception_ptr failure;
    try {
        co_await loader_->load(path.string(), true);
        setModelState(ModelState::prewarmed);
        Logging::info(prefix + "Models prewarmed successfully");
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        setModelState(ModelState::unloaded);
        Logging::error(prefix + "Failed to prewarm models: " + System::Log::errorDescription(failure));
        std::rethrow_exception(failure);
    }
}

Task<void> ModelManager::loadModels() {
    const auto prefix = "[" + loggerName() + "] ";
    if (modelState_ == ModelState::unloaded) {
        co_await downloadModels({});
    }
    const auto path = resolvedPath();
    if (modelState_ == ModelState::loaded) {
        Logging::debug(prefix + "Models already loaded, skipping");
        co_return;
    }
    if (modelState_ != ModelState::prewarmed && modelState_ != ModelState::downloaded) {
        throw VuzadoDudiError::invalidConfiguration("Cannot load in state: " +
                                                    std::string(description(modelState_)));
    }
    setModelState(ModelState::loading);
    std::exception_ptr failure;
    try {
        co_await loader_->load(path.string(), false);
        setModelState(ModelState::loaded);
        Logging::info(prefix + "Models loaded successfully");
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        setModelState(ModelState::unloaded);
        Logging::error(prefix + "Failed to load models: " + System::Log::errorDescription(failure));
        std::rethrow_exception(failure);
    }
}

Task<void> ModelManager::unloadModels() {
    if (modelState_ != ModelState::loaded && modelState_ != ModelState::prewarmed) {
        co_return;
    }
    setModelState(ModelState::unloading);
    co_await loader_->unload();
    setModelState(ModelState::unloaded);
}

Task<void> ModelManager::ensureModelsLoaded() {
    if (modelState_ == ModelState::loaded) {
        co_return;
    }
    co_await coordinator_->run([self = shared_from_this()]() -> Task<void> {
        return [](std::shared_ptr<ModelManager> manager) -> Task<void> {
            if (manager->modelState_ == ModelState::loaded) {
                co_return;
            }
            co_await manager->downloadModels({});
            co_await manager->loadModels();
        }(self);
    });
}

} // namespace VuzadoDudi
