#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "System/Concurrency/Task.h"
#include "ZodozorEro/Core/Audio/AudioProcessing.h"
#include "ZodozorEro/Core/AudioEncoder.h"
#include "ZodozorEro/Core/DecodingOptions.h"
#include "ZodozorEro/Core/FeatureExtractor.h"
#include "ZodozorEro/Core/Text/SegmentSeeking.h"
#include "ZodozorEro/Core/TextDecoding.h"
#include "ZodozorEro/Core/TranscribeTask.h"
#include "ZodozorEro/Core/TranscriptionProgress.h"
#include "ZodozorEro/Core/WhisperTokenizer.h"

namespace ZodozorEro {

// A running transcript of the microphone: while recording, the whole recorded buffer is transcribed again and
// again from the end of the last confirmed segment. The newest `requiredSegmentsForConfirmation` segments of
// each run stay unconfirmed (the next run may still revise them); older ones are confirmed for good. The
// state-change callback is the transcriber's output. Own it through a std::shared_ptr: the audio and progress
// handlers hold it weakly.
class AudioStreamTranscriber : public std::enable_shared_from_this<AudioStreamTranscriber> {
public:
    struct State {
        bool isRecording = false;
        // Fallbacks of the window being decoded, from its latest progress report.
        int currentFallbacks = 0;
        // Samples the buffer held when the latest transcription started.
        std::int64_t lastBufferSize = 0;
        // Where the newest confirmed segment ends, in seconds from the first recorded sample.
        float lastConfirmedSegmentEndSeconds = 0;
        std::vector<float> bufferEnergy;
        // The text of the window being decoded, or "Waiting for speech..." while idle.
        std::string currentText;
        std::vector<TranscriptionSegment> confirmedSegments;
        std::vector<TranscriptionSegment> unconfirmedSegments;
        // The texts of the windows that finished during the running transcription.
        std::vector<std::string> unconfirmedText;

        bool operator==(const State&) const = default;
    };

    // Called once for every store into the state, with the state before and after, one report at a time and
    // in the order of the stores. It runs outside the transcriber's lock, so it may read the state or stop
    // the transcriber; a store made meanwhile, there or on another thread, is reported after the running
    // report returns, by the thread that runs it. A callback that throws ends the running transcription: the
    // recording stops and startStreamTranscription throws that error. Its error never reaches the thread
    // that made the store (the audio thread, the executor, the decoder); with no transcription running, or
    // after the first, it is logged.
    using StateChangeCallback = std::function<void(const State& oldState, const State& newState)>;
    using PermissionRequest = std::function<bool()>;

    // `requestRecordPermission` asks for the microphone; by default the sound server is asked.
    AudioStreamTranscriber(
        std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<FeatureExtracting> featureExtractor,
        std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
        std::shared_ptr<const WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
        DecodingOptions decodingOptions, int requiredSegmentsForConfirmation, float silenceThreshold,
        int compressionCheckWindow, bool useVAD, StateChangeCallback stateChangeCallback = nullptr,
        PermissionRequest requestRecordPermission = nullptr);

    State state() const;

    // Records and transcribes until stopStreamTranscription; returns when the loop has ended. Returns at once
    // while already recording, and without recording when the microphone is refused. When the recording
    // can't start its error is thrown and the transcriber stays stopped, ready for another start. A
    // transcription error ends the loop (logged), leaving the recording to the stop; a state-change callback
    // that throws ends it too, with the recording stopped, and its error is thrown. The energy of captured
    // audio is reported on the loop's executor while the loop runs.
    System::Concurrency::Task<void> startStreamTranscription();
    // Safe from any thread, the state-change callback included. Whenever it is called, once it has returned
    // nothing records (until the next start), a start under way included.
    void stopStreamTranscription();

    // The answer to a progress report: false (stop this window) when the newest `compressionCheckWindow`
    // tokens compress better than the threshold or the average log probability is below its threshold; an
    // absent threshold is not tested. Never true.
    static std::optional<bool> shouldStopEarly(const TranscriptionProgress& progress,
                                               const DecodingOptions& options, int compressionCheckWindow);

private:
    System::Concurrency::Task<void> transcribeCurrentBuffer();
    System::Concurrency::Task<TranscriptionResult> transcribeAudioSamples(std::vector<float> samples);
    void onProgressCallback(const TranscriptionProgress& progress);
    void updateBufferEnergy();
    // Changes the state and reports the change.
    void modifyState(const std::function<void(State&)>& change);
    // As modifyState, when `change` answers true; an answer of false stored nothing and reports nothing.
    bool modifyStateIf(const std::function<bool(State&)>& change);
    // The store of modifyStateIf; its report waits for the next deliverReports, here or on another thread.
    bool storeIf(const std::function<bool(State&)>& change);
    void deliverReports();
    // The callback threw `error`: it ends the running transcription; logged when none runs, or when one
    // error already ends it.
    void callbackFailedLocked(std::exception_ptr error);
    bool callbackFailed() const;
    // Sets currentText to "Waiting for speech..." when it is empty, then waits a little.
    System::Concurrency::Task<void> waitForAudio();

    // Guards the state and the reports not yet delivered; never held while the callback runs, which may
    // stop the transcriber and so wait for the audio thread.
    mutable std::mutex mutex_;
    State state_;
    std::deque<std::pair<State, State>> pendingReports_;
    bool reporting_ = false; // a thread is delivering pendingReports_
    int runningLoops_ = 0;
    std::exception_ptr callbackError_; // ends the running loops
    // Held while the recording is started or stopped together with the isRecording that says so, so that a
    // stop never falls between a start's store and its recording; never held while reports are delivered.
    std::mutex recordingMutex_;
    const StateChangeCallback stateChangeCallback_;
    const int requiredSegmentsForConfirmation_;
    const bool useVAD_;
    const float silenceThreshold_;
    const int compressionCheckWindow_;
    const std::shared_ptr<TranscribeTask> transcribeTask_;
    const std::shared_ptr<AudioProcessing> audioProcessor_;
    const DecodingOptions decodingOptions_;
    const PermissionRequest requestRecordPermission_;
};

} // namespace ZodozorEro
