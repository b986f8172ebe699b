#include "TessarinCore/UseCases/DictationCoordinator.h"

#include "System/Log/ErrorDescription.h"

#include <cstdio>
#include <limits>

namespace TessarinCore {

using System::Concurrency::AsyncStream;
using System::Concurrency::BufferingPolicy;
using System::Concurrency::CancellationError;
using System::Concurrency::Task;
using System::Concurrency::TaskHandle;
using System::Log::Public;

namespace {

const System::Log::Logger& logger() {
    static const System::Log::Logger instance{"com.tessarin.Tessarin", "Pipeline"};
    return instance;
}

const System::Log::Signposter& signposter() {
    static const System::Log::Signposter instance{logger()};
    return instance;
}

std::string withThreeDecimals(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string joinedNames(const std::vector<Hotkey>& hotkeys, const DictationCoordinator::KeyNaming& keyName) {
    std::string names;
    for (const Hotkey& hotkey : hotkeys) {
        if (!names.empty()) {
            names += ", ";
        }
        names += keyName(hotkey);
    }
    return names;
}

const char* reasonName(HotkeyGesture::CancelReason reason) {
    switch (reason) {
    case HotkeyGesture::CancelReason::tooShort:
        return "tooShort";
    case HotkeyGesture::CancelReason::chord:
        return "chord";
    }
    return "";
}

const char* const stoppedReason = "coordinator stopped";

} // namespace

std::shared_ptr<DictationCoordinator> DictationCoordinator::create(
    std::shared_ptr<HotkeyEventSource> hotkeySource, std::shared_ptr<AudioCapturing> audio,
    TranscriberRouter router, std::shared_ptr<TextInserting> inserter,
    std::shared_ptr<FrontmostAppProviding> frontmostApp, DictationSettings settings, SilenceTrimmer trimmer,
    TranscriptPostProcessor postProcessor, Executor& mainExecutor, KeyNaming keyName) {
    return std::shared_ptr<DictationCoordinator>(new DictationCoordinator(
        std::move(hotkeySource), std::move(audio), std::move(router), std::move(inserter),
        std::move(frontmostApp), std::move(settings), std::move(trimmer), std::move(postProcessor),
        mainExecutor, std::move(keyName)));
}

DictationCoordinator::DictationCoordinator(std::shared_ptr<HotkeyEventSource> hotkeySource,
                                           std::shared_ptr<AudioCapturing> audio, TranscriberRouter router,
                                           std::shared_ptr<TextInserting> inserter,
                                           std::shared_ptr<FrontmostAppProviding> frontmostApp,
                                           DictationSettings settings, SilenceTrimmer trimmer,
                                           TranscriptPostProcessor postProcessor, Executor& mainExecutor,
                                           KeyNaming keyName)
    : settings_(std::move(settings))
    , hotkeySource_(std::move(hotkeySource))
    , audio_(std::move(audio))
    , router_(std::move(router))
    , inserter_(std::move(inserter))
    , frontmostApp_(std::move(frontmostApp))
    , trimmer_(std::move(trimmer))
    , postProcessor_(std::move(postProcessor))
    , main_(mainExecutor)
    , keyName_(keyName ? std::move(keyName) : [](const Hotkey& hotkey) { return hotkey.displayName; })
    , recognizer_(settings_->minimumHold) {}

void DictationCoordinator::start() {
    if (isRunning()) {
        return;
    }
    const std::vector<Hotkey> hotkeys = settings_->hotkeys();
    auto events = hotkeySource_->start(hotkeys);
    auto [inputs, continuation] = InputStream::makeStream(BufferingPolicy::unbounded());
    inputContinuation_ = continuation;
    std::erase_if(earlierWork_, [](const TaskHandle<void>& work) { return work.isDone(); });
    auto forwarder = spawn(main_, forwardHotkeys(std::move(events), continuation));
    auto loop =
        spawn(main_, runInputLoop(weak_from_this(), std::move(inputs), std::exchange(earlierWork_, {})));
    runTasks_ = {forwarder, loop};
    logger().info("Listening for {}", Public(joinedNames(hotkeys, keyName_)));
}

void DictationCoordinator::stop() {
    hotkeySource_->stop();
    ++runGeneration_;
    if (inputContinuation_) {
        inputContinuation_->finish();
        inputContinuation_.reset();
    }
    for (const TaskHandle<void>& task : runTasks_) {
        task.cancel();
    }
    if (runTasks_.size() == 2) {
        // The input loop may be in the middle of a recording start or a finishing; the next run waits for it.
        earlierWork_.push_back(runTasks_[1]);
    }
    runTasks_.clear();
    recognizer_.reset();
    // Taken now, so the abort can only ever end this recording, whatever a restart begins meanwhile.
    if (std::optional<ActiveRecording> recording = takeRecording()) {
        earlierWork_.push_back(spawn(main_, abortAfterStop(shared_from_this(), std::move(*recording))));
    }
}

void DictationCoordinator::setSettings(DictationSettings settings) {
    DictationSettings previous = settings_.get();
    settings_.set(std::move(settings));
    settingsDidChange(previous);
}

void DictationCoordinator::settingsDidChange(const DictationSettings& previous) {
    recognizer_.minimumHold = settings_->minimumHold;
    if (isRunning() && settings_->hotkeys() != previous.hotkeys()) {
        restartHotkeys();
    }
}

void DictationCoordinator::restartHotkeys() {
    stop();
    try {
        start();
    } catch (...) {
        logger().error("Hotkeys could not restart: {}",
                       Public(System::Log::errorDescription(std::current_exception())));
    }
}

Task<void> DictationCoordinator::forwardHotkeys(AsyncStream<HotkeyEvent> events,
                                                InputStream::Continuation inputs) {
    while (auto event = co_await events.next()) {
        inputs.yield(Input(std::move(*event)));
    }
}

Task<void> DictationCoordinator::runInputLoop(std::weak_ptr<DictationCoordinator> coordinator,
                                              InputStream inputs, std::vector<TaskHandle<void>> before) {
    for (const TaskHandle<void>& work : before) {
        try {
            co_await work.value();
        } catch (...) {
            // An earlier run's failure is not this run's to report.
        }
    }
    while (auto input = co_await inputs.next()) {
        if (auto strong = coordinator.lock()) {
            co_await strong->handle(std::move(*input));
        }
    }
}

Task<void> DictationCoordinator::abortAfterStop(std::shared_ptr<DictationCoordinator> coordinator,
                                                ActiveRecording recording) {
    co_await coordinator->abort(std::move(recording), stoppedReason);
}

Task<void> DictationCoordinator::handle(Input input) {
    std::optional<HotkeyGesture> gesture;
    if (const auto* event = std::get_if<HotkeyEvent>(&input)) {
        gesture = recognizer_.handle(*event);
    } else {
        const auto& expiry = std::get<MaximumDurationReached>(input);
        if (!recording_ || recording_->id != expiry.recordingId) {
            co_return;
        }
        logger().notice("Maximum recording duration reached");
        gesture = recognizer_.forceEnd(main_.now());
    }
    if (!gesture) {
        co_return;
    }
    if (const auto* begin = std::get_if<HotkeyGesture::Begin>(&gesture->value)) {
        co_await beginRecording(begin->hotkey);
    } else if (const auto* end = std::get_if<HotkeyGesture::End>(&gesture->value)) {
        co_await finishRecording(end->heldFor, end->at);
    } else {
        co_await abortRecording(reasonName(std::get<HotkeyGesture::Cancel>(gesture->value).reason));
    }
}

Task<void> DictationCoordinator::beginRecording(Hotkey hotkey) {
    if (recording_) {
        co_return;
    }
    const DictationLanguage language = settings_->language(hotkey);
    TranscriptionConfig config = settings_->transcriptionConfig(language);
    std::shared_ptr<SpeechTranscribing> engine = router_.primary(language, settings_->engines);
    if (!engine) {
        recognizer_.reset();
        failStart(DictationFailure::noEngineAvailable(language));
        co_return;
    }

    auto signpost = signposter().beginInterval("Dictation");
    recordingLanguage_.set(language);
    state_.set(DictationState::recording());
    const EngineID engineID = engine->engine();
    logger().info("{} → {} on {}", Public(keyName_(hotkey)), Public(rawValue(language)),
                  Public(rawValue(engineID)));

    // A stop() while this start is suspended makes the recording stale: it is then aborted, not stored.
    const std::uint64_t generation = runGeneration_;
    const auto stillCurrent = [this, generation] { return generation == runGeneration_; };

    std::optional<AsyncStream<AudioChunk>> chunks;
    std::exception_ptr microphoneError;
    try {
        chunks.emplace(co_await audio_->start());
    } catch (...) {
        microphoneError = std::current_exception();
    }
    if (microphoneError) {
        const std::string description = System::Log::errorDescription(microphoneError);
        logger().error("Microphone failed to start: {}", Public(description));
        signpost.end();
        recognizer_.reset();
        failStart(DictationFailure::microphoneUnavailable(description));
        co_return;
    }

    ActiveRecording recording{++lastRecordingId_, std::nullopt, std::move(config), engine,
                              std::move(signpost)};
    if (stillCurrent()) {
        recording.target = co_await frontmostApp_->frontmostApp();
    }
    if (stillCurrent()) {
        try {
            recording.session = co_await engine->beginSession(recording.config);
        } catch (...) {
            recording.sessionError = std::current_exception();
        }
        if (recording.sessionError) {
            logger().error("{} could not start a session: {}", Public(rawValue(engineID)),
                           Public(System::Log::errorDescription(recording.sessionError)));
        }
    }
    recording.feed = spawn(main_, feed(weak_from_this(), std::move(*chunks), recording.session));

    if (!stillCurrent()) {
        co_await abort(std::move(recording), stoppedReason);
        co_return;
    }
    const std::uint64_t id = recording.id;
    recording_ = std::move(recording);
    scheduleMaximumDuration(id);
}

Task<void> DictationCoordinator::feed(std::weak_ptr<DictationCoordinator> coordinator,
                                      AsyncStream<AudioChunk> chunks,
                                      std::shared_ptr<TranscriptionSession> session) {
    while (auto chunk = co_await chunks.next()) {
        if (auto strong = coordinator.lock()) {
            strong->inputLevel_.set(chunk->level());
        }
        if (session) {
            co_await session->append(std::move(*chunk));
        }
    }
}

void DictationCoordinator::scheduleMaximumDuration(std::uint64_t recordingId) {
    if (!inputContinuation_) {
        return;
    }
    const Instant deadline = main_.now() + settings_->maximumRecording;
    maximumDurationTask_ = spawn(main_, signalMaximumDuration(deadline, *inputContinuation_, recordingId));
}

Task<void> DictationCoordinator::signalMaximumDuration(Instant deadline, InputStream::Continuation inputs,
                                                       std::uint64_t recordingId) {
    try {
        co_await System::Concurrency::sleepUntil(deadline);
    } catch (const CancellationError&) {
        co_return;
    }
    if (!co_await System::Concurrency::isCancelled()) {
        inputs.yield(Input(MaximumDurationReached{recordingId}));
    }
}

std::optional<DictationCoordinator::ActiveRecording> DictationCoordinator::takeRecording() {
    std::optional<ActiveRecording> taken = std::exchange(recording_, std::nullopt);
    if (taken && maximumDurationTask_) {
        maximumDurationTask_->cancel();
    }
    return taken;
}

Task<void> DictationCoordinator::abortRecording(std::string reason) {
    if (std::optional<ActiveRecording> recording = takeRecording()) {
        co_await abort(std::move(*recording), std::move(reason));
    }
}

Task<void> DictationCoordinator::abort(ActiveRecording recording, std::string reason) {
    (void)co_await audio_->stop();
    if (recording.feed) {
        co_await recording.feed->value();
    }
    if (recording.session) {
        co_await recording.session->cancel();
    }
    logger().info("Recording cancelled: {}", Public(reason));
    end(recording, DictationOutcome::cancelled());
}

Task<void> DictationCoordinator::finishRecording(Duration heldFor, Instant releasedAt) {
    std::optional<ActiveRecording> taken = takeRecording();
    if (!taken) {
        co_return;
    }
    ActiveRecording recording = std::move(*taken);

    const Duration releaseTail = settings_->releaseTail;
    if (releaseTail > Duration::zero()) {
        try {
            co_await System::Concurrency::sleepUntil(main_.now() + releaseTail);
        } catch (...) {
            // Cut short by a stop(): the dictation is finished all the same.
        }
    }

    AudioClip clip = co_await audio_->stop();
    if (recording.feed) {
        co_await recording.feed->value();
    }
    inputLevel_.set(0.0f);
    lastClip_.set(clip);

    if (trimmer_.peakLevel(clip) == 0.0f) {
        logger().error("The microphone delivered only digital silence ({} ms)",
                       clip.duration().milliseconds());
        if (recording.session) {
            co_await recording.session->cancel();
        }
        end(recording, DictationOutcome::failed(DictationFailure::microphoneSilent()));
        co_return;
    }

    const std::optional<SilenceTrimmer::Result> speech = trimmer_.trim(clip);
    if (!speech) {
        logger().info("No speech detected in {} ms of audio (peak level {})", clip.duration().milliseconds(),
                      Public(withThreeDecimals(trimmer_.peakLevel(clip))));
        if (recording.session) {
            co_await recording.session->cancel();
        }
        end(recording, DictationOutcome::noSpeech());
        co_return;
    }

    state_.set(DictationState::transcribing());
    const Instant transcriptionStart = main_.now();
    Transcription transcription;
    std::exception_ptr error;
    try {
        transcription = co_await transcribe(recording, *speech);
    } catch (...) {
        error = std::current_exception();
    }
    if (error) {
        const std::string description = System::Log::errorDescription(error);
        logger().error("Transcription failed: {}", Public(description));
        end(recording, DictationOutcome::failed(DictationFailure::transcriptionFailed(description)));
        co_return;
    }
    const Instant transcriptionEnd = main_.now();
    auto& [transcript, fallbackReason] = transcription;

    const std::optional<std::string> text = postProcessor_.process(transcript.text, speech->isFaint());
    if (!text) {
        logger().info("Discarded empty or hallucinated transcript: {}",
                      System::Log::Private(transcript.text));
        end(recording, DictationOutcome::noSpeech());
        co_return;
    }

    state_.set(DictationState::inserting());
    InsertionRequest request{*text + (settings_->appendsTrailingSpace ? " " : ""), recording.target,
                             settings_->insertionMethod, settings_->restoresClipboard};
    InsertionOutcome outcome = co_await inserter_->insert(std::move(request));

    DictationMetrics metrics{
        .holdDuration = heldFor,
        .audioDuration = clip.duration(),
        .speechDuration = speech->speechDuration,
        .transcriptionDuration = transcriptionEnd - transcriptionStart,
        .releaseToText = transcriptionEnd - releasedAt,
    };
    DictationResult result{*text, transcript, std::move(outcome), metrics, fallbackReason};
    lastResult_.set(result);
    logger().notice("[{}] release→text {} ms (engine {} ms, speech {} ms, hold {} ms): {}",
                    Public(rawValue(transcript.engine)), metrics.releaseToText.milliseconds(),
                    metrics.transcriptionDuration.milliseconds(), metrics.speechDuration.milliseconds(),
                    metrics.holdDuration.milliseconds(), System::Log::Private(result.text));
    end(recording, DictationOutcome::transcribed(std::move(result)));
}

Task<DictationCoordinator::Transcription>
DictationCoordinator::transcribe(const ActiveRecording& recording, const SilenceTrimmer::Result& speech) {
    auto interval = signposter().beginInterval("Transcribe");
    const EngineID primary = recording.engine->engine();
    std::exception_ptr keptError = recording.sessionError;
    std::optional<Transcript> blankAnswer;

    if (recording.session) {
        std::optional<Transcript> answer;
        std::exception_ptr primaryError;
        try {
            answer = co_await recording.session->finish(speech.clip);
        } catch (...) {
            primaryError = std::current_exception();
        }
        if (answer) {
            // A blank answer for faint audio is believed; only clearly audible speech deserves a second try.
            if (!answer->isBlank() || speech.isFaint()) {
                co_return Transcription{std::move(*answer), std::nullopt};
            }
            logger().notice("{} returned nothing for clearly audible speech", Public(rawValue(primary)));
            blankAnswer = std::move(answer);
        } else {
            logger().error("{} failed: {}", Public(rawValue(primary)),
                           Public(System::Log::errorDescription(primaryError)));
            keptError = primaryError;
        }
    }

    std::shared_ptr<SpeechTranscribing> fallback = router_.fallback(recording.config.language, primary);
    if (!fallback) {
        if (blankAnswer) {
            co_return Transcription{std::move(*blankAnswer), std::nullopt};
        }
        if (keptError) {
            std::rethrow_exception(keptError);
        }
        throw DictationFailure::noEngineAvailable(recording.config.language);
    }

    const std::string_view fallbackName = rawValue(fallback->engine());
    logger().notice("Falling back to {}", Public(fallbackName));
    std::exception_ptr fallbackError;
    try {
        std::shared_ptr<TranscriptionSession> session = co_await fallback->beginSession(recording.config);
        Transcript answer = co_await session->finish(speech.clip);
        std::optional<std::string> reason;
        if (keptError) {
            reason = System::Log::errorDescription(keptError);
        }
        co_return Transcription{std::move(answer), std::move(reason)};
    } catch (...) {
        fallbackError = std::current_exception();
    }
    logger().error("{} failed too: {}", Public(fallbackName),
                   Public(System::Log::errorDescription(fallbackError)));
    std::rethrow_exception(keptError ? keptError : fallbackError);
}

void DictationCoordinator::end(ActiveRecording& recording, DictationOutcome outcome) {
    recording.signpost.end();
    inputLevel_.set(0.0f);
    if (const auto* failed = std::get_if<DictationOutcome::Failed>(&outcome.value)) {
        state_.set(DictationState::failed(failed->failure));
    } else {
        state_.set(DictationState::idle());
    }
    publish(std::move(outcome));
}

void DictationCoordinator::failStart(DictationFailure failure) {
    state_.set(DictationState::failed(failure));
    publish(DictationOutcome::failed(std::move(failure)));
}

void DictationCoordinator::publish(DictationOutcome outcome) {
    ++eventCount_;
    lastEvent_.set(DictationEvent{eventCount_, std::move(outcome)});
}

} // namespace TessarinCore
