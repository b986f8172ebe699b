#pragma once

#include "System/Concurrency/AsyncStream.h"
#include "System/Concurrency/Executor.h"
#include "System/Concurrency/Observed.h"
#include "System/Concurrency/Task.h"
#include "System/Log/Logger.h"
#include "TessarinCore/Domain/Audio.h"
#include "TessarinCore/Domain/Dictation.h"
#include "TessarinCore/Domain/DictationSettings.h"
#include "TessarinCore/Domain/Hotkey.h"
#include "TessarinCore/Ports/AudioCapturing.h"
#include "TessarinCore/Ports/FrontmostAppProviding.h"
#include "TessarinCore/Ports/HotkeyEventSource.h"
#include "TessarinCore/Ports/SpeechTranscribing.h"
#include "TessarinCore/Ports/TextInserting.h"
#include "TessarinCore/Ports/TranscriptionSession.h"
#include "TessarinCore/UseCases/HotkeyGestureRecognizer.h"
#include "TessarinCore/UseCases/SilenceTrimmer.h"
#include "TessarinCore/UseCases/TranscriberRouter.h"
#include "TessarinCore/UseCases/TranscriptPostProcessor.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace TessarinCore {

using System::Concurrency::ReadOnlyObserved;

// Turns presses and releases of the dictation keys into recordings, has each finished recording transcribed
// (with one fallback engine), cleaned and inserted, and publishes what happens for the overlay, the menu and
// the settings views.
//
// Everything runs on the main executor given at construction, which is also the only clock it reads. Inputs
// (hotkey events and maximum-duration expiries) are handled strictly one at a time, each to its end, also
// across a stop and restart. The coordinator lives in a shared_ptr (create()); its input loop and feed tasks
// hold it weakly, so they never keep it alive between inputs.
class DictationCoordinator : public std::enable_shared_from_this<DictationCoordinator> {
public:
    using Executor = System::Concurrency::Executor;
    // How the log names a dictation key; by default its stored display name.
    using KeyNaming = std::function<std::string(const Hotkey&)>;

    static std::shared_ptr<DictationCoordinator>
    create(std::shared_ptr<HotkeyEventSource> hotkeySource, std::shared_ptr<AudioCapturing> audio,
           TranscriberRouter router, std::shared_ptr<TextInserting> inserter,
           std::shared_ptr<FrontmostAppProviding> frontmostApp, DictationSettings settings,
           SilenceTrimmer trimmer, TranscriptPostProcessor postProcessor, Executor& mainExecutor,
           KeyNaming keyName = {});

    DictationCoordinator(const DictationCoordinator&) = delete;
    DictationCoordinator& operator=(const DictationCoordinator&) = delete;

    // Starts watching the dictation keys; nothing when already running. Throws what the hotkey source throws,
    // and then stays stopped.
    void start();
    // Stops watching the keys and aborts a stored recording in a task of its own. A dictation that is being
    // finished is not abandoned.
    void stop();
    bool isRunning() const { return !runTasks_.empty(); }

    ReadOnlyObserved<DictationState> state() { return ReadOnlyObserved(state_); }
    // The last dictation whose text reached the inserter.
    ReadOnlyObserved<std::optional<DictationResult>> lastResult() { return ReadOnlyObserved(lastResult_); }
    // The whole, untrimmed clip of the last finished recording.
    ReadOnlyObserved<std::optional<AudioClip>> lastClip() { return ReadOnlyObserved(lastClip_); }
    // RMS level of the newest chunk of the recording in progress.
    ReadOnlyObserved<float> inputLevel() { return ReadOnlyObserved(inputLevel_); }
    ReadOnlyObserved<std::optional<DictationEvent>> lastEvent() { return ReadOnlyObserved(lastEvent_); }
    // The language of the key that started the latest recording; never cleared.
    ReadOnlyObserved<std::optional<DictationLanguage>> recordingLanguage() {
        return ReadOnlyObserved(recordingLanguage_);
    }

    ReadOnlyObserved<DictationSettings> settings() { return ReadOnlyObserved(settings_); }
    // Observers hear of an assignment only when the value differs; the coordinator reacts to every one.
    void setSettings(DictationSettings settings);
    // An in-place edit always notifies.
    template <class F>
    void editSettings(F&& edit) {
        DictationSettings previous = settings_.get();
        settings_.modify(std::forward<F>(edit));
        settingsDidChange(previous);
    }

private:
    DictationCoordinator(std::shared_ptr<HotkeyEventSource> hotkeySource,
                         std::shared_ptr<AudioCapturing> audio, TranscriberRouter router,
                         std::shared_ptr<TextInserting> inserter,
                         std::shared_ptr<FrontmostAppProviding> frontmostApp, DictationSettings settings,
                         SilenceTrimmer trimmer, TranscriptPostProcessor postProcessor,
                         Executor& mainExecutor, KeyNaming keyName);

    struct ActiveRecording {
        std::uint64_t id = 0;
        std::optional<AppIdentity> target;
        TranscriptionConfig config;
        std::shared_ptr<SpeechTranscribing> engine;
        System::Log::Signposter::Interval signpost;
        std::shared_ptr<TranscriptionSession> session;
        std::exception_ptr sessionError;
        std::optional<System::Concurrency::TaskHandle<void>> feed;
    };

    struct MaximumDurationReached {
        std::uint64_t recordingId = 0;
    };
    using Input = std::variant<HotkeyEvent, MaximumDurationReached>;
    using InputStream = System::Concurrency::AsyncStream<Input>;
    using Transcription = std::pair<Transcript, std::optional<std::string>>;

    static System::Concurrency::Task<void>
    forwardHotkeys(System::Concurrency::AsyncStream<HotkeyEvent> events, InputStream::Continuation inputs);
    static System::Concurrency::Task<void>
    runInputLoop(std::weak_ptr<DictationCoordinator> coordinator, InputStream inputs,
                 std::vector<System::Concurrency::TaskHandle<void>> before);
    static System::Concurrency::Task<void> feed(std::weak_ptr<DictationCoordinator> coordinator,
                                                System::Concurrency::AsyncStream<AudioChunk> chunks,
                                                std::shared_ptr<TranscriptionSession> session);
    static System::Concurrency::Task<void>
    signalMaximumDuration(Instant deadline, InputStream::Continuation inputs, std::uint64_t recordingId);
    static System::Concurrency::Task<void> abortAfterStop(std::shared_ptr<DictationCoordinator> coordinator,
                                                          ActiveRecording recording);

    System::Concurrency::Task<void> handle(Input input);
    System::Concurrency::Task<void> beginRecording(Hotkey hotkey);
    // Takes the stored recording out and cancels its maximum-duration timer.
    std::optional<ActiveRecording> takeRecording();
    System::Concurrency::Task<void> abortRecording(std::string reason);
    System::Concurrency::Task<void> abort(ActiveRecording recording, std::string reason);
    void scheduleMaximumDuration(std::uint64_t recordingId);
    void settingsDidChange(const DictationSettings& previous);
    void restartHotkeys();

    System::Concurrency::Task<void> finishRecording(Duration heldFor, Instant releasedAt);
    System::Concurrency::Task<Transcription> transcribe(const ActiveRecording& recording,
                                                        const SilenceTrimmer::Result& speech);
    void end(ActiveRecording& recording, DictationOutcome outcome);
    void publish(DictationOutcome outcome);
    // A recording start that failed before a recording existed: the state and the event tell why.
    void failStart(DictationFailure failure);

    System::Concurrency::Observed<DictationState> state_{DictationState::idle()};
    System::Concurrency::Observed<std::optional<DictationResult>> lastResult_;
    System::Concurrency::Observed<std::optional<AudioClip>> lastClip_;
    System::Concurrency::Observed<float> inputLevel_{0.0f};
    System::Concurrency::Observed<std::optional<DictationEvent>> lastEvent_;
    System::Concurrency::Observed<std::optional<DictationLanguage>> recordingLanguage_;
    System::Concurrency::Observed<DictationSettings> settings_;

    std::shared_ptr<HotkeyEventSource> hotkeySource_;
    std::shared_ptr<AudioCapturing> audio_;
    TranscriberRouter router_;
    std::shared_ptr<TextInserting> inserter_;
    std::shared_ptr<FrontmostAppProviding> frontmostApp_;
    SilenceTrimmer trimmer_;
    TranscriptPostProcessor postProcessor_;
    Executor& main_;
    KeyNaming keyName_;
    HotkeyGestureRecognizer recognizer_;

    std::optional<ActiveRecording> recording_;
    std::optional<InputStream::Continuation> inputContinuation_;
    std::vector<System::Concurrency::TaskHandle<void>> runTasks_; // hotkey forwarder, input loop
    std::optional<System::Concurrency::TaskHandle<void>> maximumDurationTask_;
    std::int64_t eventCount_ = 0;
    std::uint64_t lastRecordingId_ = 0;
    // Advanced by every stop(): a recording whose start began under an older value belongs to a stopped run.
    std::uint64_t runGeneration_ = 0;
    // Work of earlier runs still going on (their input loops, aborts) that a new input loop waits out first.
    std::vector<System::Concurrency::TaskHandle<void>> earlierWork_;
};

} // namespace TessarinCore
