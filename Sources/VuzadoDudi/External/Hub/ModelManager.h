#pragma once

#include "System/Concurrency/Task.h"
#include "VuzadoDudi/External/Hub/HubApi.h"
#include "VuzadoDudi/External/Hub/ModelDownloader.h"
#include "VuzadoDudi/External/Hub/ModelState.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace VuzadoDudi {

// What a ModelManager drives: how the models are obtained, loaded and released.
class ModelLoader {
public:
    virtual ~ModelLoader() = default;
    // A folder where the models already are, if any.
    virtual std::optional<std::string> modelFolder() const = 0;
    // Obtains the models, usually through `downloader`, and returns the folder that holds them.
    virtual System::Concurrency::Task<std::string>
    resolveModels(const ModelDownloader& downloader, HubApi::ProgressHandler progressCallback) = 0;
    // Loads the models from `folder`; with `prewarm` this is the prewarm pass.
    virtual System::Concurrency::Task<void> load(std::string folder, bool prewarm) = 0;
    virtual System::Concurrency::Task<void> unload() = 0;
};

// Makes concurrent requests for one load share that load: a caller that comes while it runs waits for it and
// gets its outcome; one that comes after it has finished starts a new one.
class LoadModelsCoordinator {
public:
    System::Concurrency::Task<void> run(std::function<System::Concurrency::Task<void>()> operation);

private:
    std::mutex mutex_;
    std::optional<System::Concurrency::TaskHandle<void>> inflightLoad_;
};

// Drives a set of models through download, prewarm, load and unload, reporting every change of state. Only
// ensureModelsLoaded may be called by several callers at once; the other operations must not overlap.
//
// A shared load outlives a caller that stops waiting for it, and keeps its manager alive meanwhile; so every
// manager lives in a shared_ptr, made by `make`, the only place a Construction key comes from.
class ModelManager : public std::enable_shared_from_this<ModelManager> {
protected:
    class Construction {
        friend class ModelManager;
        Construction() = default;
    };

public:
    using StateCallback = std::function<void(ModelState oldState, ModelState newState)>;

    // Makes a manager, or one of a subclass whose constructors take a Construction key first and hand it on.
    template <class Manager = ModelManager, class... Arguments>
    static std::shared_ptr<Manager> make(Arguments&&... arguments) {
        static_assert(std::is_base_of_v<ModelManager, Manager>);
        return std::make_shared<Manager>(Construction(), std::forward<Arguments>(arguments)...);
    }

    ModelManager(Construction, std::shared_ptr<ModelLoader> loader,
                 std::shared_ptr<ModelDownloader> downloader);
    virtual ~ModelManager() = default;

    ModelState modelState() const { return modelState_; }
    StateCallback modelStateCallback;
    const std::optional<std::filesystem::path>& modelPath() const { return modelPath_; }
    std::optional<std::filesystem::path> modelFolder() const;

    virtual System::Concurrency::Task<void> ensureModelsLoaded();
    virtual System::Concurrency::Task<void> downloadModels(HubApi::ProgressHandler progressCallback);
    virtual System::Concurrency::Task<void> prewarmModels();
    virtual System::Concurrency::Task<void> loadModels();
    virtual System::Concurrency::Task<void> unloadModels();

    bool isAvailable() const;
    bool isLoaded() const { return modelState_ == ModelState::loaded; }

protected:
    void setModelState(ModelState state);
    // The name that begins every log line: the unqualified name of the object's dynamic type.
    const std::string& loggerName() const;

private:
    std::filesystem::path resolvedPath() const;

    ModelState modelState_ = ModelState::unloaded;
    std::optional<std::filesystem::path> modelPath_;
    const std::shared_ptr<ModelDownloader> downloader_;
    const std::shared_ptr<ModelLoader> loader_;
    mutable std::once_flag loggerNameOnce_;
    mutable std::string loggerName_;
    const std::shared_ptr<LoadModelsCoordinator> coordinator_ = std::make_shared<LoadModelsCoordinator>();
};

} // namespace VuzadoDudi
