#include "HubTestSupport.h"

#include "System/Concurrency/AsyncStream.h"
#include "System/Concurrency/RunLoop.h"
#include "VuzadoDudi/External/Hub/ModelDownloader.h"
#include "VuzadoDudi/External/Hub/ModelManager.h"
#include "VuzadoDudi/External/Hub/ModelState.h"
#include "VuzadoDudi/Logging.h"
#include "VuzadoDudi/VuzadoDudiError.h"

#include <fstream>

namespace VuzadoDudi::HubTests {
namespace {

namespace fs = std::filesystem;
using System::Concurrency::Task;
using Transitions = std::vector<std::pair<ModelState, ModelState>>;

TEST(ModelState, DescriptionsAndBusyStates) {
    const std::tuple<ModelState, std::string, bool> cases[] = {
        {ModelState::unloading, "Unloading", true},     {ModelState::unloaded, "Unloaded", false},
        {ModelState::loading, "Loading", true},         {ModelState::loaded, "Loaded", false},
        {ModelState::prewarming, "Specializing", true}, {ModelState::prewarmed, "Specialized", false},
        {ModelState::downloading, "Downloading", true}, {ModelState::downloaded, "Downloaded", false},
    };
    for (const auto& [state, text, busy] : cases) {
        EXPECT_EQ(description(state), text);
        EXPECT_EQ(isBusy(state), busy) << text;
    }
}

TEST(ModelInfo, PatternsPathsAndDescriptions) {
    const ModelInfo lite{std::nullopt, "lite", "base", System::ML::ComputeUnits::all};
    EXPECT_EQ(lite.downloadPattern(), "base/*/lite/*");
    EXPECT_EQ(lite.description(), "base/lite");
    EXPECT_EQ(lite.modelURL("/F"), "/F/base/lite");
    EXPECT_EQ(lite.debugDescription(),
              "ModelInfo(name: base, version: nil, variant: lite, computeUnit: all)");
    const ModelInfo odd{"v1", std::nullopt, "base", System::ML::ComputeUnits{9}};
    EXPECT_EQ(odd.debugDescription(),
              "ModelInfo(name: base, version: v1, variant: nil, computeUnit: unknown)");
    EXPECT_EQ(lite.findBaseFolder("/x/models/base/lite/file"), fs::path("/x/models"));
    EXPECT_EQ(lite.findBaseFolder("/x/other/file"), std::nullopt);
}

// A loader that records its calls; its load can be held at a gate and made to fail.
class RecordingLoader : public ModelLoader {
public:
    std::optional<std::string> folder;
    std::string resolvedFolder = "/resolved";
    int resolves = 0;
    std::vector<bool> loads;
    int unloads = 0;
    bool failLoad = false;
    std::function<Task<void>()> beforeLoad;

    std::optional<std::string> modelFolder() const override { return folder; }
    Task<std::string> resolveModels(const ModelDownloader&, HubApi::ProgressHandler) override {
        ++resolves;
        co_return resolvedFolder;
    }
    Task<void> load(std::string, bool prewarm) override {
        loads.push_back(prewarm);
        if (beforeLoad) {
            co_await beforeLoad();
        }
        if (failLoad) {
            throw std::runtime_error("load failed");
        }
    }
    Task<void> unload() override {
        ++unloads;
        co_return;
    }
};

class ModelManagerTest : public testing::Test {
protected:
    ModelManagerTest() {
        manager->modelStateCallback = [this](ModelState from, ModelState to) {
            transitions.emplace_back(from, to);
        };
        Logging::updateLogLevel(Logging::LogLevel::debug);
        Logging::updateCallback([this](const std::string& line) { logs.push_back(line); });
    }
    ~ModelManagerTest() override {
        Logging::updateCallback(nullptr);
        Logging::updateLogLevel(Logging::LogLevel::none);
    }

    std::optional<std::string> failureOf(Task<void> task) {
        try {
            blockingRun(std::move(task));
        } catch (const std::exception& error) {
            return std::string(error.what());
        }
        return std::nullopt;
    }

    std::shared_ptr<RecordingLoader> loader = std::make_shared<RecordingLoader>();
    std::shared_ptr<ModelDownloader> downloader =
        std::make_shared<ModelDownloader>("http://h", "o/n", std::nullopt, "main", false);
    std::shared_ptr<ModelManager> manager = ModelManager::make(loader, downloader);
    Transitions transitions;
    std::vector<std::string> logs;
};

TEST_F(ModelManagerTest, ALoaderWithAFolderLoadsWithoutResolving) {
    loader->folder = "/models";
    blockingRun(manager->loadModels());
    EXPECT_EQ(transitions, (Transitions{{ModelState::unloaded, ModelState::downloaded},
                                        {ModelState::downloaded, ModelState::loading},
                                        {ModelState::loading, ModelState::loaded}}));
    EXPECT_EQ(loader->resolves, 0);
    EXPECT_EQ(loader->loads, std::vector<bool>{false});
    EXPECT_EQ(manager->modelPath(), fs::path("/models"));
    EXPECT_TRUE(manager->isLoaded());
}

TEST_F(ModelManagerTest, RepeatedAndMisplacedRequestsAreSkippedOrRefused) {
    blockingRun(manager->loadModels());
    logs.clear();
    blockingRun(manager->loadModels());
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], "[ModelManager] Models already loaded, skipping");
    blockingRun(manager->ensureModelsLoaded());
    EXPECT_EQ(loader->loads.size(), 1u);
    EXPECT_EQ(failureOf(manager->prewarmModels()), "Cannot prewarm in state: Loaded");
    logs.clear();
    blockingRun(manager->downloadModels({}));
    EXPECT_EQ(logs, std::vector<std::string>{
                        "[ModelManager] Models already downloaded (state: Loaded), skipping download"});
    blockingRun(manager->unloadModels());
    EXPECT_EQ(manager->modelState(), ModelState::unloaded);
    EXPECT_EQ(loader->unloads, 1);
    blockingRun(manager->unloadModels()); // nothing loaded: nothing to do
    EXPECT_EQ(loader->unloads, 1);
}

TEST_F(ModelManagerTest, PrewarmThenLoad) {
    blockingRun(manager->prewarmModels());
    EXPECT_EQ(manager->modelState(), ModelState::prewarmed);
    EXPECT_FALSE(manager->isAvailable());
    blockingRun(manager->loadModels());
    EXPECT_EQ(loader->loads, (std::vector<bool>{true, false}));
    EXPECT_EQ(loader->resolves, 1);
}

TEST_F(ModelManagerTest, AFailedLoadReturnsToUnloadedAndResolvesAgainNextTime) {
    loader->failLoad = true;
    EXPECT_EQ(failureOf(manager->loadModels()), "load failed");
    EXPECT_EQ(manager->modelState(), ModelState::unloaded);
    EXPECT_EQ(logs.back(), "[ModelManager] Failed to load models: load failed");
    loader->failLoad = false;
    blockingRun(manager->loadModels());
    EXPECT_EQ(loader->resolves, 2);
}

TEST_F(ModelManagerTest, ConcurrentEnsuresShareOneLoadAndItsOutcome) {
    // The load waits until every caller has arrived, so they surely overlap.
    System::Concurrency::RunLoop loop;
    auto [arrivals, arrived] = System::Concurrency::AsyncStream<int>::makeStream();
    auto release = std::make_shared<System::Concurrency::AsyncStream<int>>(std::move(arrivals));
    loader->failLoad = true;
    loader->beforeLoad = [release]() -> Task<void> { co_await release->next(); };

    std::vector<System::Concurrency::TaskHandle<void>> callers;
    for (int i = 0; i < 3; ++i) {
        callers.push_back(System::Concurrency::spawn(loop, manager->ensureModelsLoaded()));
    }
    loop.runUntil([&] { return loader->loads.size() == 1; });
    arrived.yield(1);
    loop.runUntil(
        [&] { return std::all_of(callers.begin(), callers.end(), [](auto& c) { return c.isDone(); }); });

    EXPECT_EQ(loader->resolves, 1);
    EXPECT_EQ(loader->loads.size(), 1u);
    for (auto& caller : callers) {
        EXPECT_THROW(caller.result(), std::runtime_error);
    }
    loader->failLoad = false;
    loader->beforeLoad = nullptr;
    blockingRun(manager->ensureModelsLoaded()); // a later call starts a new attempt
    EXPECT_EQ(loader->loads.size(), 2u);
    EXPECT_TRUE(manager->isLoaded());
}

// A shared load keeps its manager alive, so a manager must live in a shared_ptr: there is no other way to
// make one, for subclasses neither.
static_assert(
    !std::is_constructible_v<ModelManager, std::shared_ptr<ModelLoader>, std::shared_ptr<ModelDownloader>>);

TEST_F(ModelManagerTest, ASubclassIsMadeByTheFactoryAndLogsUnderItsOwnName) {
    class TunedManager : public ModelManager {
    public:
        TunedManager(Construction key, std::shared_ptr<ModelLoader> loader,
                     std::shared_ptr<ModelDownloader> downloader)
            : ModelManager(key, std::move(loader), std::move(downloader)) {}
    };
    const std::shared_ptr<TunedManager> tuned = ModelManager::make<TunedManager>(loader, downloader);

    blockingRun(tuned->ensureModelsLoaded());

    EXPECT_TRUE(tuned->isLoaded());
    EXPECT_EQ(logs.back(), "[TunedManager] Models loaded successfully");
}

TEST_F(ModelManagerTest, WithoutAnyPathLoadingIsRefused) {
    class NoPathLoader : public RecordingLoader {
        Task<std::string> resolveModels(const ModelDownloader&, HubApi::ProgressHandler) override {
            throw std::runtime_error("offline");
            co_return "";
        }
    };
    auto manager =
        ModelManager::make(std::make_shared<NoPathLoader>(),
                           std::make_shared<ModelDownloader>("h", "o/n", std::nullopt, "main", false));
    try {
        blockingRun(manager->loadModels());
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "offline");
    }
    EXPECT_EQ(manager->modelState(), ModelState::unloaded);
}

class ModelDownloaderTest : public HubFixture {
protected:
    ModelDownloaderTest() {
        addRemoteFile("base/v1/lite/AudioEncoder.mlmodelc/model.json", "{}");
        addRemoteFile("base/v1/lite/AudioEncoder.mlmodelc/weights.safetensors", "w");
        addRemoteFile("base/v1/lite/config.json", "{}");
        addRemoteFile("other/full/TextDecoder.mlmodelc/model.json", "{}");
        // Online whatever this machine's routes say: the stand-in hub is on loopback.
        struct Online : NetworkPathSource {
            void start(std::function<void(NetworkPath)> report) override { report(NetworkPath{true}); }
        };
        NetworkMonitor::setShared(std::make_shared<NetworkMonitor>(std::make_unique<Online>()));
    }
    ~ModelDownloaderTest() override { NetworkMonitor::setShared(originalMonitor); }
    ModelDownloader downloader() const {
        return ModelDownloader(ModelDownloadConfig{cache.path().string(), repoId, std::string("t"),
                                                   std::nullopt, false, hub.endpoint(), "main"});
    }
    const ModelInfo lite{"v1", "lite", "base", System::ML::ComputeUnits::all};
    const std::shared_ptr<NetworkMonitor> originalMonitor = NetworkMonitor::shared();
};

TEST_F(ModelDownloaderTest, ResolvesFromTheHubThenFromTheCache) {
    std::vector<ModelState> states;
    const auto callback = [&](ModelState state) { states.push_back(state); };
    const auto found = blockingRun(
        downloader().resolveModel("AudioEncoder", lite, std::nullopt, std::nullopt, true, callback));
    EXPECT_EQ(found, cache / "models/owner/model/base/v1/lite/AudioEncoder.mlmodelc");
    EXPECT_EQ(states, (std::vector<ModelState>{ModelState::downloading, ModelState::downloaded}));
    EXPECT_FALSE(fs::exists(cache / "models/owner/model/other"));

    states.clear();
    const auto downloadsBefore = hub.fileDownloads();
    EXPECT_EQ(blockingRun(downloader().resolveModel("AudioEncoder", lite, std::nullopt, std::nullopt, false,
                                                    callback)),
              found);
    EXPECT_EQ(states, std::vector<ModelState>{ModelState::downloaded});
    EXPECT_EQ(hub.fileDownloads(), downloadsBefore);
}

TEST_F(ModelDownloaderTest, AModelFolderAnswersWithoutTheHub) {
    TemporaryFolder folder("hub-model-folder");
    fs::create_directories(folder / "base/v1/lite/AudioEncoder.mlmodelc");
    std::vector<ModelState> states;
    EXPECT_EQ(blockingRun(downloader().resolveModel("AudioEncoder", lite, folder.path(), std::nullopt, false,
                                                    [&](ModelState s) { states.push_back(s); })),
              folder / "base/v1/lite/AudioEncoder.mlmodelc");
    EXPECT_TRUE(states.empty());
    EXPECT_TRUE(hub.requests().empty());
}

TEST_F(ModelDownloaderTest, UnavailableModelsSayWhy) {
    const auto message = [&](const std::function<void()>& work) {
        return errorOf<ModelDownloaderError>(work)
            .value_or(ModelDownloaderError::modelUnavailable(""))
            .description();
    };
    EXPECT_EQ(message([&] { blockingRun(downloader().resolveRepo({"base/*"}, std::nullopt, false)); }),
              "No valid local models found for repo 'owner/model' and download is disabled.");
    EXPECT_EQ(message([&] {
                  blockingRun(
                      downloader().resolveModel("AudioEncoder", lite, std::nullopt, std::nullopt, false));
              }),
              "No model found for AudioEncoder (download disabled)");
    EXPECT_EQ(message([&] {
                  blockingRun(downloader().resolveModel("Missing", lite, std::nullopt, std::nullopt, true));
              }),
              "No model found for Missing");
    EXPECT_EQ(message([&] {
                  blockingRun(downloader().downloadModel(
                      ModelInfo{std::nullopt, std::nullopt, "none", System::ML::ComputeUnits::all},
                      std::nullopt, true));
              }),
              "No models found matching \"none/*/*/*\" in owner/model");
}

TEST_F(ModelDownloaderTest, ARepoPresentAndValidIsNotFetchedAgain) {
    const auto folder = blockingRun(downloader().resolveRepo({"base/*"}, std::nullopt, true));
    EXPECT_TRUE(fs::exists(folder / "base/v1/lite/config.json"));
    const auto before = hub.requests().size();
    EXPECT_EQ(blockingRun(downloader().resolveRepo({"base/*"}, std::nullopt, false)), folder);
    EXPECT_EQ(hub.requests().size(), before);
}

TEST(ModelDownloaderPatterns, PatternsExistLocallyOnlyWithAFolderThatHoldsSomething) {
    TemporaryFolder repo("hub-patterns");
    fs::create_directories(repo / "N/a");
    fs::create_directories(repo / "Empty");
    EXPECT_TRUE(ModelDownloader::patternsExistLocally({}, repo.path()));
    EXPECT_TRUE(ModelDownloader::patternsExistLocally({"N/*/*/*"}, repo.path()));
    EXPECT_FALSE(ModelDownloader::patternsExistLocally({"*/N"}, repo.path()));
    EXPECT_FALSE(ModelDownloader::patternsExistLocally({"Empty/*"}, repo.path()));
    EXPECT_FALSE(ModelDownloader::patternsExistLocally({"N/*", "Missing/*"}, repo.path()));
}

TEST(ModelDownloaderPatterns, AModelIsItsCompiledFolderElseItsPackageFileElseNothing) {
    TemporaryFolder folder("hub-model-url");
    const fs::path package = folder / "Enc.mlpackage/Data/com.apple.CoreML/model.mlmodel";
    EXPECT_EQ(ModelDownloader::modelURLIfExists(folder.path(), "Enc"), std::nullopt);
    fs::create_directories(package.parent_path());
    std::ofstream(package) << "m";
    EXPECT_EQ(ModelDownloader::modelURLIfExists(folder.path(), "Enc"), package);
    fs::create_directories(folder / "Enc.mlmodelc");
    EXPECT_EQ(ModelDownloader::modelURLIfExists(folder.path(), "Enc"), folder / "Enc.mlmodelc");
}

} // namespace
} // namespace VuzadoDudi::HubTests
