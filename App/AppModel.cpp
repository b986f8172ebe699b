#include "App/AppModel.h"

#include "App/KeyNames.h"
#include "App/ListFormat.h"
#include "App/Observations.h"
#include "System/Log/ErrorDescription.h"
#include "System/Net/Url.h"
#include "System/Pasteboard/PasteboardError.h"
#include "TessarinCore/Domain/Overloaded.h"
#include "TessarinCore/Domain/Version.h"
#include "TessarinPlatform/Cloud/TessarinCloudTranscriber.h"
#include "TessarinPlatform/Speech/AppleSpeechTranscriber.h"

#include <unordered_set>

// The hotkey status is logged by these names.
template <>
struct TessarinCore::RawValues<Parlindo::AppModel::HotkeyStatus> {
    using HotkeyStatus = Parlindo::AppModel::HotkeyStatus;
    static constexpr std::array<std::pair<HotkeyStatus, std::string_view>, 3> cases{{
        {HotkeyStatus::starting, "starting"},
        {HotkeyStatus::listening, "listening"},
        {HotkeyStatus::needsInputMonitoring, "needsInputMonitoring"},
    }};
};

namespace Parlindo {

using namespace TessarinCore;
using System::Concurrency::CancellationError;
using System::Concurrency::Task;
using System::Log::errorDescription;
using System::Log::Public;

const System::Log::Logger AppModel::logger{"com.tessarin.Tessarin", "App"};

namespace {

const Duration pasteDelay = Duration::milliseconds(250);
const Duration permissionPollInterval = Duration::seconds(std::int64_t{1});
const Duration versionCheckInterval = Duration::seconds(std::int64_t{12 * 60 * 60});
const Duration clipboardRestoreDelay = Duration::milliseconds(350);
const double cloudRequestTimeout = 15;
constexpr std::string_view openAtLoginSetUpKey = "openAtLoginSetUp";
constexpr std::string_view loginItemPointsAtParlindoKey = "loginItemPointsAtParlindo";

// What the coordinator is given to tell speech from silence.
SilenceTrimmer dictationTrimmer() {
    return SilenceTrimmer{Duration::milliseconds(20), 2.5f, 0.003f, 0.01f, Duration::milliseconds(200),
                          Duration::milliseconds(200)};
}

} // namespace

std::string AppModel::resultLogLine(const DictationResult& result) {
    const DictationMetrics& metrics = result.metrics;
    return "[Tessarin] " + std::string(rawValue(result.transcript.engine)) + " release\u2192text " +
           std::to_string(metrics.releaseToText.milliseconds()) + " ms (engine " +
           std::to_string(metrics.transcriptionDuration.milliseconds()) + " ms, speech " +
           std::to_string(metrics.speechDuration.milliseconds()) + " ms, hold " +
           std::to_string(metrics.holdDuration.milliseconds()) + " ms, lang " +
           result.transcript.languageCode.value_or("?") + "): " + result.text + "\n";
}

namespace {

// The value of `task`, or nothing after logging its failure as `failureFormat` with the error's description.
template <class T>
Task<std::optional<T>> orLogged(Task<T> task, std::string_view failureFormat) {
    std::exception_ptr failure;
    try {
        co_return co_await std::move(task);
    } catch (...) {
        failure = std::current_exception();
    }
    AppModel::logger.error(failureFormat, Public(errorDescription(failure)));
    co_return std::nullopt;
}

bool lacksLanguage(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const TessarinPlatform::AppleSpeechTranscriber::TranscriberError& error) {
        return error.errorCase() ==
               TessarinPlatform::AppleSpeechTranscriber::TranscriberError::Case::unsupportedLanguage;
    } catch (...) {
        return false;
    }
}

bool isNotSetUp(const std::exception_ptr& failure) {
    using CloudError = TessarinPlatform::TessarinCloudTranscriber::CloudError;
    try {
        std::rethrow_exception(failure);
    } catch (const CloudError& error) {
        return error.kind() == CloudError::Case::notConfigured;
    } catch (...) {
        return false;
    }
}

template <class State>
bool holds(const DictationState& state) {
    return std::holds_alternative<State>(state.value);
}

} // namespace

std::optional<std::string> AppModel::UpdateStatus::downloadURL() const {
    if (const auto* available = std::get_if<Available>(&value)) {
        return available->downloadURL;
    }
    if (const auto* required = std::get_if<Required>(&value)) {
        return required->downloadURL;
    }
    return std::nullopt;
}

std::shared_ptr<AppModel> AppModel::create(AppEnvironment environment, AppServiceFactory& services) {
    std::shared_ptr<AppModel> model(new AppModel(std::move(environment), services));
    model->startTasks();
    return model;
}

AppModel::AppModel(AppEnvironment environment, AppServiceFactory& services)
    : environment_(std::move(environment))
    , appVersion_(environment_.bundle.object(System::Bundle::shortVersionKey).value_or("0"))
    , supportDirectory_(environment_.applicationSupportDirectory / "Tessarin")
    , settingsStore_("dictationSettings", environment_.defaults) {
    loginItem_ = services.makeLoginItem();
    loginItemStatus_.set(loginItem_->status());
    // A build that names no update feed has no updater, as one without the entry.
    if (const auto feed = environment_.bundle.object(System::Bundle::appcastURLKey); feed && !feed->empty()) {
        updater_ = services.makeUpdater({*feed, appVersion_});
    }
    secrets_ = services.makeKeychainSecretStore("com.tessarin.Tessarin");
    permissions_ = services.makePermissionService();
    audio_ = services.makeRecorder();
    inserter_ = services.makeInserter(services.makeFrontmostAppProvider(), clipboardRestoreDelay);
    auto container = services.makeContainerSecretStore(supportDirectory_ / "Secrets", secrets_);

    // An empty address is a build that names no cloud server: the cloud engine then says so whenever it is
    // used. A missing or malformed one is a broken build.
    const auto address = environment_.bundle.object(System::Bundle::apiURLKey);
    if (!address || (!address->empty() && !System::Net::isAbsoluteURL(*address))) {
        System::Log::fatalError("TessarinAPIURL is missing from Info.plist");
    }
    apiURL_ = *address;
    if (apiURL_.empty() && !updater_) {
        update_.set(UpdateStatus::notSetUp());
    }
    tessarinCloud_ = services.makeCloudTranscriber(apiURL_, appVersion_, std::move(container),
                                                   environment_.defaults, cloudRequestTimeout);
    supportID_.set(tessarinCloud_->supportID());
    router_ = TranscriberRouter({services.makeAppleSpeechTranscriber(), tessarinCloud_->engine()});
    DictationSettings settings = settingsStore_.load();

    std::set<EngineID> keyed;
    std::map<EngineID, std::string> hints;
    for (const auto& [engine, transcriber] : cloud_) {
        const auto secret = TessarinCore::apiKey(engine);
        if (!secret || !secrets_->hasSecret(*secret)) {
            continue;
        }
        keyed.insert(engine);
        if (auto hint = environment_.defaults->get<std::string>(std::string(rawValue(engine)) + "KeyHint")) {
            hints[engine] = std::move(*hint);
        }
    }
    cloudEnginesWithKeys_.set(std::move(keyed));
    cloudKeyHints_.set(std::move(hints));

    auto hotkeySource = services.makeHotkeySource();
    coordinator_ = DictationCoordinator::create(
        std::move(hotkeySource), audio_, router_, inserter_, services.makeFrontmostAppProvider(),
        std::move(settings), dictationTrimmer(), TranscriptPostProcessor(), environment_.mainActor,
        [](const Hotkey& hotkey) { return keyName(hotkey); });
    hud_ = HUDModel::create(HUDModel::Source::of(coordinator_), environment_.mainActor,
                            environment_.makeHUDPanel);
}

AppModel::~AppModel() {
    for (const auto& task : tasks_) {
        task.cancel();
    }
}

void AppModel::startTasks() {
    auto& main = environment_.mainActor;
    // The launch holds the model until its sequence is done; the others hold it only while they work.
    tasks_.push_back(System::Concurrency::spawn(main, [](std::shared_ptr<AppModel> self) -> Task<void> {
        co_await self->launch();
    }(shared_from_this())));
    tasks_.push_back(System::Concurrency::spawn(main, logResults(weak_from_this())));
    tasks_.push_back(System::Concurrency::spawn(main, followCloudAccount(weak_from_this())));
    tasks_.push_back(System::Concurrency::spawn(main, checkForUpdatesPeriodically(weak_from_this())));
    if (updater_) {
        updater_->onChecked(
            [weak = weak_from_this()](const std::optional<TessarinUpdates::AppcastItem>& newer) {
                if (auto model = weak.lock()) {
                    model->feedChecked(newer);
                }
            });
    }
}

// MARK: Launch

Task<void> AppModel::launch() {
    enableOpenAtLoginOnFirstRun();
    co_await refreshPermissions();

    const auto& statuses = permissionStatus_.get();
    const auto described = [&](Permission permission) {
        const auto found = statuses.find(permission);
        return std::string(found == statuses.end() ? "none" : rawValue(found->second));
    };
    // The desktop has no separate accessibility trust: the right to post events is what stands for it.
    const auto postEvents = statuses.find(Permission::postEvents);
    const bool accessibilityTrusted =
        postEvents != statuses.end() && (postEvents->second == PermissionStatus::granted ||
                                         postEvents->second == PermissionStatus::grantedAfterRelaunch);
    logger.info(
        "Launch permissions: microphone={}, inputMonitoring={}, postEvents={}, accessibilityTrusted={}",
        Public(described(Permission::microphone)), Public(described(Permission::inputMonitoring)),
        Public(described(Permission::postEvents)), accessibilityTrusted);

    if (const auto microphone = statuses.find(Permission::microphone);
        microphone != statuses.end() && microphone->second == PermissionStatus::notDetermined) {
        tasks_.push_back(System::Concurrency::spawn(environment_.mainActor,
                                                    [](std::shared_ptr<AppModel> self) -> Task<void> {
                                                        co_await self->requestMicrophone();
                                                    }(shared_from_this())));
    }

    co_await startHotkeys(true);

    const auto posting = permissionStatus_.get().find(Permission::postEvents);
    if (posting == permissionStatus_.get().end() || posting->second != PermissionStatus::granted) {
        const PermissionStatus answer = co_await permissions_->request(Permission::postEvents);
        permissionStatus_.modify([&](auto& map) { map[Permission::postEvents] = answer; });
    }
    logger.info("Hotkey status: {}", Public(rawValue(hotkeyStatus_.get())));

    std::exception_ptr audioFailure;
    try {
        co_await audio_->prepare();
    } catch (...) {
        audioFailure = std::current_exception();
    }
    if (audioFailure) {
        logger.error("Audio engine unavailable: {}", Public(errorDescription(audioFailure)));
    }

    for (const EngineID engine : cloudEnginesWithKeys_.get()) {
        setEngineStatus(engine, EngineStatus::ready());
    }

    auto& main = environment_.mainActor;
    const auto apple = System::Concurrency::spawn(
        main, prepare(EngineID::appleSpeech, {DictationLanguage::english, DictationLanguage::arabic}));
    const auto whisper =
        System::Concurrency::spawn(main, prepare(EngineID::zodozorEro, {DictationLanguage::automatic}));
    const auto cloud = System::Concurrency::spawn(main, prepareTessarinCloud());
    co_await apple.value();
    co_await whisper.value();
    co_await cloud.value();
}

bool AppModel::isTranslocated() const {
    // A copy run from a temporary place (an unpacked download, a mounted image) is gone by the next login.
    std::error_code error;
    const auto temporary = std::filesystem::temp_directory_path(error);
    const auto& executable = environment_.bundle.executablePath();
    if (error || executable.empty()) {
        return executable.empty();
    }
    const auto relative = executable.lexically_relative(temporary);
    return !relative.empty() && *relative.begin() != "..";
}

void AppModel::enableOpenAtLoginOnFirstRun() {
    auto& defaults = *environment_.defaults;
    const auto markDone = [&](std::string_view key) {
        try {
            defaults.set(std::string(key), true);
        } catch (...) {
            logger.error("Couldn't remember {}: {}", Public(key),
                         Public(errorDescription(std::current_exception())));
        }
    };
    const bool translocated = isTranslocated();
    if (translocated && !defaults.get<bool>(std::string(openAtLoginSetUpKey)).value_or(false) &&
        !opensAtLogin()) {
        // Said at every start while there is no entry: otherwise its absence would be a mystery.
        logger.notice(
            "Parlindo runs from the temporary folder ({}), where a copy may be gone by the next login, "
            "so it doesn't open at login by itself. Build it elsewhere, or switch on \"Open Parlindo "
            "at login\" in Settings.",
            Public(environment_.bundle.executablePath().string()));
    }
    if (!defaults.get<bool>(std::string(openAtLoginSetUpKey)).value_or(false) && !translocated) {
        markDone(openAtLoginSetUpKey);
        const auto status = loginItemStatus_.get();
        if (status != System::LoginItem::Status::enabled &&
            status != System::LoginItem::Status::requiresApproval) {
            setOpensAtLogin(true);
        }
    }
    if (!defaults.get<bool>(std::string(loginItemPointsAtParlindoKey)).value_or(false) && !translocated) {
        markDone(loginItemPointsAtParlindoKey);
        const auto status = loginItemStatus_.get();
        if (status == System::LoginItem::Status::enabled ||
            status == System::LoginItem::Status::requiresApproval) {
            try {
                loginItem_->unregister();
            } catch (...) {
            }
            setOpensAtLogin(true);
        }
    }
    // An item that would start the program otherwise than this start did (another copy, or without the
    // cloud and update addresses this start was given) is written again: the start at login behaves as this
    // one.
    if (!translocated && opensAtLogin() && !loginItem_->isCurrent()) {
        setOpensAtLogin(true);
    }
    logger.info("Open at login: {}", Public(System::LoginItem::name(loginItemStatus_.get())));
}

Task<void> AppModel::refreshPermissions() {
    for (const Permission permission : allCases<Permission>()) {
        const PermissionStatus status = co_await permissions_->status(permission);
        permissionStatus_.modify([&](auto& map) { map[permission] = status; });
    }
}

Task<void> AppModel::startHotkeys(bool requestingPermission) {
    PermissionStatus status = co_await permissions_->status(Permission::inputMonitoring);
    if (status != PermissionStatus::granted && requestingPermission) {
        status = co_await permissions_->request(Permission::inputMonitoring);
    }
    const bool granted = status == PermissionStatus::granted;
    const HotkeyStatus target = granted ? HotkeyStatus::listening : HotkeyStatus::needsInputMonitoring;
    permissionStatus_.modify([&](auto& map) { map[Permission::inputMonitoring] = status; });
    if (hotkeyStatus_.get() == target && coordinator_->isRunning()) {
        co_return;
    }
    if (granted && coordinator_->isRunning()) {
        // The key tap is made again now that the permission exists.
        coordinator_->stop();
    }
    try {
        coordinator_->start();
    } catch (...) {
        logger.error("Hotkey tap unavailable: {}", Public(errorDescription(std::current_exception())));
    }
    hotkeyStatus_.set(target);
    if (!granted) {
        logger.error("The dictation keys can't be watched: Parlindo needs an X11 session or XWayland");
    }
}

Task<void> AppModel::prepare(EngineID engine, std::vector<DictationLanguage> languages) {
    const auto transcriber = router_.engine(engine);
    if (!transcriber) {
        co_return;
    }
    setEngineStatus(engine, EngineStatus::loading());
    const auto supported = transcriber->supportedLanguages();
    for (const DictationLanguage language : languages) {
        if (supported.count(language) == 0) {
            continue;
        }
        std::exception_ptr failure;
        try {
            co_await prepare(transcriber, language);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) {
            continue;
        }
        const std::string description = errorDescription(failure);
        // A fresh install has no on-device model for some languages and may name no cloud server: both are
        // how it is meant to be, not faults. The engine still serves the languages it has.
        if (lacksLanguage(failure)) {
            logger.info("{} skips {}: {}", Public(rawValue(engine)), Public(rawValue(language)),
                        Public(description));
            continue;
        }
        setEngineStatus(engine, EngineStatus::failed(description));
        if (isNotSetUp(failure)) {
            logger.notice("{}", Public(description));
        } else {
            logger.error("{} failed to prepare: {}", Public(rawValue(engine)), Public(description));
        }
        co_return;
    }
    setEngineStatus(engine, EngineStatus::ready());
}

Task<void> AppModel::prepare(std::shared_ptr<SpeechTranscribing> transcriber, DictationLanguage language) {
    using System::Concurrency::AsyncStream;
    auto [reports, continuation] =
        AsyncStream<EnginePreparation>::makeStream(System::Concurrency::BufferingPolicy::bufferingNewest(1));
    const EngineID engine = transcriber->engine();
    auto follower = System::Concurrency::spawn(
        environment_.mainActor,
        [](std::weak_ptr<AppModel> weak, AsyncStream<EnginePreparation> reports, EngineID engine,
           DictationLanguage language) -> Task<void> {
            while (auto report = co_await reports.next()) {
                if (auto model = weak.lock()) {
                    model->setEngineStatus(engine, EngineStatus::preparing(*report, language));
                }
            }
        }(weak_from_this(), std::move(reports), engine, language));

    std::exception_ptr failure;
    try {
        co_await transcriber->prepare(
            language, [continuation](const EnginePreparation& report) { continuation.yield(report); });
    } catch (...) {
        failure = std::current_exception();
    }
    // The follower drains first, so a stale report never overwrites what comes next.
    continuation.finish();
    co_await follower.value();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

Task<void> AppModel::prepareTessarinCloud() {
    if (!coordinator_->settings()->engines.uses(EngineID::tessarin)) {
        co_return;
    }
    co_await prepare(EngineID::tessarin, {DictationLanguage::automatic});
    supportID_.set(tessarinCloud_->supportID());
    co_await refreshCloudAccount();
}

void AppModel::setEngineStatus(EngineID engine, EngineStatus status) {
    engineStatus_.modify([&](auto& map) { map[engine] = std::move(status); });
}

// MARK: Background tasks

Task<void> AppModel::logResults(std::weak_ptr<AppModel> weak) {
    std::optional<Observations<std::optional<DictationResult>>> results;
    if (auto model = weak.lock()) {
        auto coordinator = model->coordinator_;
        results.emplace([coordinator] { return coordinator->lastResult().get(); }, coordinator->lastResult());
    }
    while (results) {
        const auto result = co_await results->next();
        auto model = weak.lock();
        if (!result || !model) {
            co_return;
        }
        if (*result) {
            model->environment_.standardOutput(resultLogLine(**result));
        }
    }
}

Task<void> AppModel::followCloudAccount(std::weak_ptr<AppModel> weak) {
    std::optional<Observations<bool>> events;
    if (auto model = weak.lock()) {
        auto coordinator = model->coordinator_;
        events.emplace([] { return true; }, coordinator->lastEvent());
    }
    while (events) {
        const auto event = co_await events->next();
        auto model = weak.lock();
        if (!event || !model) {
            co_return;
        }
        model->supportID_.set(model->tessarinCloud_->supportID());
        model->cloudMinutesLeft_.set(model->tessarinCloud_->minutesLeft());
        model->cloudBlocked_.set(model->tessarinCloud_->isBlocked());
    }
}

Task<void> AppModel::checkForUpdatesPeriodically(std::weak_ptr<AppModel> weak) {
    while (!co_await System::Concurrency::isCancelled()) {
        if (auto model = weak.lock()) {
            co_await model->checkForUpdates();
        } else {
            co_return;
        }
        try {
            co_await System::Concurrency::sleep(versionCheckInterval);
        } catch (const CancellationError&) {
        }
    }
}

Task<void> AppModel::checkForUpdates() {
    if (apiURL_.empty()) {
        // No cloud server to ask; the cloud engine reports that where it is used.
        co_return;
    }
    const auto info = co_await orLogged(tessarinCloud_->versionInfo(), "Update check failed: {}");
    if (!info) {
        co_return;
    }
    if (info->requiresUpdate(appVersion_)) {
        serverAnswer_ = UpdateStatus::required(info->latest, info->downloadURL);
    } else if (info->hasUpdate(appVersion_)) {
        serverAnswer_ = UpdateStatus::available(info->latest, info->downloadURL);
    } else {
        serverAnswer_ = UpdateStatus::upToDate();
    }
    combineUpdateAnswers();
}

void AppModel::feedChecked(const std::optional<TessarinUpdates::AppcastItem>& newer) {
    feedAnswer_ =
        newer ? UpdateStatus::available(newer->version, newer->downloadPage) : UpdateStatus::upToDate();
    combineUpdateAnswers();
}

// The feed knows nothing of the versions the cloud server requires, and either may lag behind the other: a
// required update stands, and of two releases on offer the newer one is told.
void AppModel::combineUpdateAnswers() {
    if (serverAnswer_ && std::holds_alternative<UpdateStatus::Required>(serverAnswer_->value)) {
        update_.set(*serverAnswer_);
        return;
    }
    std::optional<UpdateStatus> combined;
    for (const std::optional<UpdateStatus>* answer : {&serverAnswer_, &feedAnswer_}) {
        if (!*answer) {
            continue;
        }
        const auto* offered = std::get_if<UpdateStatus::Available>(&(*answer)->value);
        const auto* best = combined ? std::get_if<UpdateStatus::Available>(&combined->value) : nullptr;
        const bool newerOffer =
            offered && (!best || TessarinCore::isVersion(best->version, offered->version));
        if (!combined || newerOffer) {
            combined = **answer;
        }
    }
    if (combined) {
        update_.set(*combined);
    }
}

void AppModel::openDownloadPage() {
    if (const auto address = update_->downloadURL()) {
        environment_.desktop->openURL(*address);
    }
}

// MARK: Derived values

std::string AppModel::statusText() {
    if (hotkeyStatus_.get() == HotkeyStatus::needsInputMonitoring) {
        return "Can't see the dictation keys: needs X11 or XWayland";
    }
    return std::visit(
        Overloaded{
            [&](const DictationState::Idle&) { return "Hold " + hotkeysWithLanguages() + " to dictate"; },
            [](const DictationState::Recording&) { return std::string("Listening\u2026"); },
            [](const DictationState::Transcribing&) { return std::string("Transcribing\u2026"); },
            [](const DictationState::Inserting&) { return std::string("Inserting\u2026"); },
            [](const DictationState::Failed& failed) { return "Error: " + failed.failure.description(); },
        },
        coordinator_->state()->value);
}

std::string AppModel::hotkeysWithLanguages() {
    std::vector<std::string> parts;
    for (const HotkeyBinding& binding : coordinator_->settings()->bindings()) {
        parts.push_back(keyName(binding.hotkey) + " (" + std::string(shortName(binding.language)) + ")");
    }
    return orList(parts);
}

std::string AppModel::hotkeyNames() {
    std::vector<std::string> names;
    for (const Hotkey& hotkey : coordinator_->settings()->hotkeys()) {
        names.push_back(keyName(hotkey));
    }
    return orList(names);
}

bool AppModel::needsSetup() {
    const auto& statuses = permissionStatus_.get();
    const auto is = [&](Permission permission, PermissionStatus status) {
        const auto found = statuses.find(permission);
        return found != statuses.end() && found->second == status;
    };
    return hotkeyStatus_.get() == HotkeyStatus::needsInputMonitoring ||
           is(Permission::microphone, PermissionStatus::denied) ||
           is(Permission::postEvents, PermissionStatus::denied) ||
           is(Permission::postEvents, PermissionStatus::grantedAfterRelaunch);
}

bool AppModel::isReadyToDictate() {
    const auto& statuses = permissionStatus_.get();
    const auto granted = [&](Permission permission) {
        const auto found = statuses.find(permission);
        return found != statuses.end() && found->second == PermissionStatus::granted;
    };
    return hotkeyStatus_.get() == HotkeyStatus::listening && granted(Permission::microphone) &&
           granted(Permission::postEvents);
}

bool AppModel::canInstallUpdate() {
    return updater_ != nullptr || update_->downloadURL().has_value();
}

std::vector<Hotkey> AppModel::unusedHotkeys() {
    std::unordered_set<std::uint16_t> bound;
    for (const Hotkey& hotkey : coordinator_->settings()->hotkeys()) {
        bound.insert(hotkey.keyCode);
    }
    std::vector<Hotkey> unused;
    for (const Hotkey& hotkey : Hotkey::supported()) {
        if (bound.count(hotkey.keyCode) == 0) {
            unused.push_back(hotkey);
        }
    }
    return unused;
}

std::optional<std::string> AppModel::engineLabel(DictationLanguage language) {
    const auto engine = router_.primary(language, coordinator_->settings()->engines);
    if (!engine) {
        return std::nullopt;
    }
    if (isLocal(engine->engine())) {
        return "On this computer";
    }
    return std::string(displayName(engine->engine()));
}

AppModel::StatusImage AppModel::statusImage() {
    const DictationState& state = coordinator_->state().get();
    if (holds<DictationState::Recording>(state)) {
        return StatusImage{"mic.fill", false, "systemRed"};
    }
    if (holds<DictationState::Transcribing>(state) || holds<DictationState::Inserting>(state)) {
        return StatusImage{"waveform"};
    }
    if (holds<DictationState::Failed>(state)) {
        return StatusImage{"exclamationmark.triangle"};
    }
    return StatusImage{needsSetup() ? "mic.slash" : "mic"};
}

bool AppModel::opensAtLogin() {
    const auto status = loginItemStatus_.get();
    return status == System::LoginItem::Status::enabled ||
           status == System::LoginItem::Status::requiresApproval;
}

// MARK: Settings

template <class Edit>
void AppModel::changeSettings(Edit&& edit) {
    coordinator_->editSettings(std::forward<Edit>(edit));
    settingsNotSaved_.set(settingsStore_.save(coordinator_->settings().get()));
}

const std::vector<HotkeyBinding>& AppModel::bindings() {
    return coordinator_->settings()->bindings();
}

void AppModel::setBindings(std::vector<HotkeyBinding> bindings) {
    changeSettings([&](DictationSettings& settings) { settings.setBindings(std::move(bindings)); });
}

std::string AppModel::vocabulary() {
    return coordinator_->settings()->vocabularyPrompt.value_or("");
}

void AppModel::setVocabulary(std::string vocabulary) {
    changeSettings([&](DictationSettings& settings) { settings.vocabularyPrompt = std::move(vocabulary); });
}

InsertionMethod AppModel::insertionMethod() {
    return coordinator_->settings()->insertionMethod;
}

void AppModel::setInsertionMethod(InsertionMethod method) {
    changeSettings([&](DictationSettings& settings) { settings.insertionMethod = method; });
}

bool AppModel::restoresClipboard() {
    return coordinator_->settings()->restoresClipboard;
}

void AppModel::setRestoresClipboard(bool restores) {
    changeSettings([&](DictationSettings& settings) { settings.restoresClipboard = restores; });
}

bool AppModel::appendsTrailingSpace() {
    return coordinator_->settings()->appendsTrailingSpace;
}

void AppModel::setAppendsTrailingSpace(bool appends) {
    changeSettings([&](DictationSettings& settings) { settings.appendsTrailingSpace = appends; });
}

// MARK: Commands

Task<void> AppModel::pasteLastTranscript() {
    const auto& last = coordinator_->lastResult().get();
    if (!last) {
        co_return;
    }
    std::string text = last->text;
    try {
        co_await System::Concurrency::sleep(pasteDelay);
    } catch (const CancellationError&) {
    }
    // The settings are read after the pause: a change made meanwhile applies.
    const DictationSettings& settings = coordinator_->settings().get();
    if (settings.appendsTrailingSpace) {
        text += ' ';
    }
    co_await inserter_->insert(InsertionRequest{std::move(text), std::nullopt, settings.insertionMethod,
                                                settings.restoresClipboard});
}

void AppModel::copyLastTranscript() {
    const auto& last = coordinator_->lastResult().get();
    if (!last) {
        return;
    }
    System::Pasteboard::PasteboardItem item;
    item.setString(last->text);
    try {
        environment_.pasteboard->setContents({std::move(item)});
    } catch (const System::Pasteboard::PasteboardError& error) {
        logger.error("Copying the last transcript failed: {}", Public(error.description()));
    }
}

void AppModel::addHotkey(const Hotkey& hotkey) {
    changeSettings([&](DictationSettings& settings) {
        settings.editBindings([&](std::vector<HotkeyBinding>& bindings) {
            bindings.push_back({hotkey, DictationLanguage::automatic});
        });
    });
}

void AppModel::removeHotkey(const Hotkey& hotkey) {
    if (coordinator_->settings()->bindings().size() < 2) {
        return;
    }
    changeSettings([&](DictationSettings& settings) {
        settings.editBindings([&](std::vector<HotkeyBinding>& bindings) {
            std::erase_if(bindings, [&](const HotkeyBinding& binding) {
                return binding.hotkey.keyCode == hotkey.keyCode;
            });
        });
    });
}

void AppModel::setOpensAtLogin(bool on) {
    try {
        if (on) {
            loginItem_->registerItem();
        } else {
            loginItem_->unregister();
        }
    } catch (...) {
        logger.error("Open at login couldn't be changed: {}",
                     Public(errorDescription(std::current_exception())));
    }
    loginItemStatus_.set(loginItem_->status());
    logger.info("Open at login set to {}: now {}", on,
                Public(System::LoginItem::name(loginItemStatus_.get())));
}

void AppModel::refreshLoginItemStatus() {
    loginItemStatus_.set(loginItem_->status());
}

Task<void> AppModel::requestMicrophone() {
    const PermissionStatus status = co_await permissions_->request(Permission::microphone);
    permissionStatus_.modify([&](auto& map) { map[Permission::microphone] = status; });
}

Task<void> AppModel::monitorPermissions() {
    while (!co_await System::Concurrency::isCancelled()) {
        co_await refreshPermissions();
        const auto& statuses = permissionStatus_.get();
        const auto input = statuses.find(Permission::inputMonitoring);
        if (input != statuses.end() && input->second == PermissionStatus::granted &&
            hotkeyStatus_.get() != HotkeyStatus::listening) {
            co_await startHotkeys(false);
        }
        try {
            co_await System::Concurrency::sleep(permissionPollInterval);
        } catch (const CancellationError&) {
        }
    }
}

Task<void> AppModel::refreshCloudAccount() {
    if (!tessarinCloud_->supportID()) {
        co_return;
    }
    const auto account =
        co_await orLogged(tessarinCloud_->accountStatus(), "Couldn't read the Tessarin Cloud account: {}");
    if (!account) {
        co_return;
    }
    cloudMinutesLeft_.set(account->minutesLeft);
    cloudBlocked_.set(account->blocked);
}

void AppModel::relaunch() {
    if (!environment_.desktop->launchNewInstance(environment_.bundle.executablePath())) {
        // Quitting now would leave the user with no application at all.
        logger.error("Parlindo couldn't be started again, so it keeps running");
        return;
    }
    environment_.mainActor.post([application = environment_.application] { application->terminate(); });
}

void AppModel::revealAppInFinder() {
    environment_.desktop->revealInFileManager(environment_.bundle.executablePath());
}

} // namespace Parlindo
