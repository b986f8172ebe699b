#include "ZodozorEro/Core/AudioStreamTranscriber.h"

#include <algorithm>
#include <utility>

#include "System/Concurrency/Duration.h"
#include "System/Log/ErrorDescription.h"
#include "VuzadoDudi/Logging.h"
#include "VuzadoDudi/Unicode.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Utilities/TextUtilities.h"

namespace ZodozorEro {

using VuzadoDudi::Logging;

namespace {

constexpr double sampleRate = 16000;
constexpr const char* waitingText = "Waiting for speech...";

// Whether `run` stands in `segments` as one contiguous run of equal segments.
bool containsRun(const std::vector<TranscriptionSegment>& segments,
                 const std::vector<TranscriptionSegment>& run) {
    return std::search(segments.begin(), segments.end(), run.begin(), run.end()) != segments.end();
}

} // namespace

AudioStreamTranscriber::AudioStreamTranscriber(
    std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
    std::shared_ptr<const WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
    DecodingOptions decodingOptions, int requiredSegmentsForConfirmation, float silenceThreshold,
    int compressionCheckWindow, bool useVAD, StateChangeCallback stateChangeCallback,
    PermissionRequest requestRecordPermission)
    : stateChangeCallback_(std::move(stateChangeCallback))
    , requiredSegmentsForConfirmation_(std::max(requiredSegmentsForConfirmation, 0))
    , useVAD_(useVAD)
    , silenceThreshold_(silenceThreshold)
    , compressionCheckWindow_(std::max(compressionCheckWindow, 0))
    , transcribeTask_(std::make_shared<TranscribeTask>(TranscriptionTimings(), nullptr, audioProcessor,
                                                       std::move(audioEncoder), std::move(featureExtractor),
                                                       std::move(segmentSeeker), std::move(textDecoder),
                                                       std::move(tokenizer)))
    , audioProcessor_(std::move(audioProcessor))
    , decodingOptions_(std::move(decodingOptions))
    , requestRecordPermission_(requestRecordPermission
                                   ? std::move(requestRecordPermission)
                                   : PermissionRequest(&AudioProcessor::requestRecordPermission)) {}

AudioStreamTranscriber::State AudioStreamTranscriber::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void AudioStreamTranscriber::modifyState(const std::function<void(State&)>& change) {
    modifyStateIf([&](State& state) {
        change(state);
        return true;
    });
}

bool AudioStreamTranscriber::modifyStateIf(const std::function<bool(State&)>& change) {
    const bool stored = storeIf(change);
    deliverReports();
    return stored;
}

bool AudioStreamTranscriber::storeIf(const std::function<bool(State&)>& change) {
    std::lock_guard lock(mutex_);
    if (!stateChangeCallback_) {
        return change(state_);
    }
    State before = state_;
    if (!change(state_)) {
        return false;
    }
    pendingReports_.emplace_back(std::move(before), state_);
    return true;
}

void AudioStreamTranscriber::deliverReports() {
    std::unique_lock lock(mutex_);
    // One thread delivers at a time, in store order; the others leave their report to it rather than wait,
    // since it may be busy stopping the recording and so waiting for them.
    if (reporting_ || !stateChangeCallback_) {
        return;
    }
    reporting_ = true;
    while (!pendingReports_.empty()) {
        const auto report = std::move(pendingReports_.front());
        pendingReports_.pop_front();
        lock.unlock();
        std::exception_ptr error;
        try {
            stateChangeCallback_(report.first, report.second);
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (error) {
            callbackFailedLocked(error);
        }
    }
    reporting_ = false;
}

void AudioStreamTranscriber::callbackFailedLocked(std::exception_ptr error) {
    if (runningLoops_ > 0 && !callbackError_) {
        callbackError_ = std::move(error);
        return;
    }
    Logging::error("The state-change callback failed: " + System::Log::errorDescription(error));
}

namespace {

// Where the audio thread sends captured blocks' energy: the loop's executor, while the loop runs. The loop
// closes it on the way out, since the executor may not outlive the loop.
struct EnergyRelay {
    std::mutex mutex;
    System::Concurrency::Executor* executor = nullptr;
};

struct EnergyRelayClosing {
    std::shared_ptr<EnergyRelay> relay;
    ~EnergyRelayClosing() {
        std::lock_guard lock(relay->mutex);
        relay->executor = nullptr;
    }
};

} // namespace

System::Concurrency::Task<void> AudioStreamTranscriber::startStreamTranscription() {
    if (state().isRecording) {
        co_return;
    }
    if (!requestRecordPermission_()) {
        Logging::error("Microphone access was not granted.");
        co_return;
    }
    auto relay = std::make_shared<EnergyRelay>();
    relay->executor = co_await System::Concurrency::currentExecutor();
    const EnergyRelayClosing closing{relay};
    // The audio thread only hands the block over: it must never wait for the transcriber, whose report
    // handler may be stopping the recording and so waiting for the audio thread.
    auto handOver = [relay, weakSelf = weak_from_this()](const std::vector<float>&) {
        std::lock_guard lock(relay->mutex);
        if (relay->executor) {
            relay->executor->post([weakSelf] {
                if (auto self = weakSelf.lock()) {
                    self->updateBufferEnergy();
                }
            });
        }
    };
    {
        // The report of isRecording goes out once the recording runs (or failed to start): a stop made from
        // it, or anywhere meanwhile, then finds a recording to stop.
        std::unique_lock recording(recordingMutex_);
        // Another start may have won while the permission was asked.
        if (!storeIf([](State& state) { return !std::exchange(state.isRecording, true); })) {
            co_return;
        }
        try {
            audioProcessor_->startRecordingLive(std::nullopt, std::move(handOver));
        } catch (...) {
            storeIf([](State& state) {
                state.isRecording = false;
                return true;
            });
            recording.unlock();
            deliverReports();
            throw;
        }
        std::lock_guard lock(mutex_);
        ++runningLoops_;
    }
    Logging::info("Realtime transcription has started");
    deliverReports();

    while (state().isRecording && !callbackFailed()) {
        try {
            co_await transcribeCurrentBuffer();
        } catch (const std::exception& error) {
            Logging::error(std::string("Error: ") + error.what());
            break;
        }
    }
    std::exception_ptr failure;
    {
        std::lock_guard lock(mutex_);
        --runningLoops_;
        failure = std::exchange(callbackError_, nullptr);
    }
    if (failure) {
        stopStreamTranscription();
        std::rethrow_exception(failure);
    }
}

bool AudioStreamTranscriber::callbackFailed() const {
    std::lock_guard lock(mutex_);
    return callbackError_ != nullptr;
}

void AudioStreamTranscriber::updateBufferEnergy() {
    auto energy = audioProcessor_->relativeEnergy();
    modifyState([&](State& state) { state.bufferEnergy = std::move(energy); });
}

void AudioStreamTranscriber::stopStreamTranscription() {
    {
        std::lock_guard recording(recordingMutex_);
        storeIf([](State& state) {
            state.isRecording = false;
            return true;
        });
        audioProcessor_->stopRecording();
    }
    Logging::info("Realtime transcription has ended");
    deliverReports();
}

System::Concurrency::Task<void> AudioStreamTranscriber::waitForAudio() {
    modifyState([](State& state) {
        if (state.currentText.empty()) {
            state.currentText = waitingText;
        }
    });
    co_await System::Concurrency::sleep(System::Concurrency::Duration::milliseconds(100));
}

System::Concurrency::Task<void> AudioStreamTranscriber::transcribeCurrentBuffer() {
    auto samples = audioProcessor_->audioSamples();
    const auto newSamples = std::int64_t(samples.size()) - state().lastBufferSize;
    const float newSeconds = float(newSamples) / float(sampleRate);
    // More than a second of new audio is worth a run.
    if (newSeconds <= 1.0f) {
        co_await waitForAudio();
        co_return;
    }
    if (useVAD_) {
        const auto energy = audioProcessor_->relativeEnergy();
        if (!AudioProcessor::isVoiceDetected(energy, newSeconds, silenceThreshold_)) {
            Logging::debug("No voice detected, skipping transcribe");
            // The silent audio stays new, so it counts towards the next test.
            co_await waitForAudio();
            co_return;
        }
    }
    const auto bufferSize = std::int64_t(samples.size());
    modifyState([&](State& state) { state.lastBufferSize = bufferSize; });

    const auto result = co_await transcribeAudioSamples(std::move(samples));

    modifyState([](State& state) { state.currentText.clear(); });
    modifyState([](State& state) { state.unconfirmedText.clear(); });

    const auto segments = result.segments();
    const auto required = std::size_t(requiredSegmentsForConfirmation_);
    if (segments.size() > required) {
        const std::vector<TranscriptionSegment> toConfirm(segments.begin(),
                                                          segments.end() - std::ptrdiff_t(required));
        const std::vector<TranscriptionSegment> remaining(segments.end() - std::ptrdiff_t(required),
                                                          segments.end());
        if (toConfirm.back().end > state().lastConfirmedSegmentEndSeconds) {
            modifyState([&](State& state) { state.lastConfirmedSegmentEndSeconds = toConfirm.back().end; });
            if (!containsRun(state().confirmedSegments, toConfirm)) {
                modifyState([&](State& state) {
                    state.confirmedSegments.insert(state.confirmedSegments.end(), toConfirm.begin(),
                                                   toConfirm.end());
                });
            }
        }
        modifyState([&](State& state) { state.unconfirmedSegments = remaining; });
    } else {
        modifyState([&](State& state) { state.unconfirmedSegments = segments; });
    }
}

System::Concurrency::Task<TranscriptionResult>
AudioStreamTranscriber::transcribeAudioSamples(std::vector<float> samples) {
    auto options = decodingOptions_;
    options.clipTimestamps = {state().lastConfirmedSegmentEndSeconds};
    std::weak_ptr<AudioStreamTranscriber> weakSelf = weak_from_this();
    auto handler = [weakSelf, options,
                    window = compressionCheckWindow_](const TranscriptionProgress& progress) {
        if (auto self = weakSelf.lock()) {
            self->onProgressCallback(progress);
        }
        return shouldStopEarly(progress, options, window);
    };
    co_return co_await transcribeTask_->run(std::move(samples), options, handler);
}

void AudioStreamTranscriber::onProgressCallback(const TranscriptionProgress& progress) {
    const int fallbacks = int(progress.timings.totalDecodingFallbacks);
    const auto reportedLength = VuzadoDudi::Unicode::characterCount(progress.text);
    bool fallbackSeen = false;
    // A shorter text starts a new window, or a new attempt at the same window after a fallback, whose
    // rejected text is dropped.
    // The waiting notice is no window's text.
    modifyStateIf([&](State& state) {
        if (state.currentText == waitingText ||
            reportedLength >= VuzadoDudi::Unicode::characterCount(state.currentText)) {
            return false;
        }
        if (fallbacks != state.currentFallbacks) {
            fallbackSeen = true;
            return false;
        }
        state.unconfirmedText.push_back(state.currentText);
        return true;
    });
    if (fallbackSeen) {
        Logging::info("Fallback occured: " + std::to_string(fallbacks));
    }
    modifyState([&](State& state) { state.currentText = progress.text; });
    modifyState([&](State& state) { state.currentFallbacks = fallbacks; });
}

std::optional<bool> AudioStreamTranscriber::shouldStopEarly(const TranscriptionProgress& progress,
                                                            const DecodingOptions& options,
                                                            int compressionCheckWindow) {
    if (options.compressionRatioThreshold && compressionCheckWindow >= 0 &&
        progress.tokens.size() > std::size_t(compressionCheckWindow)) {
        const std::vector<int> newest(progress.tokens.end() - compressionCheckWindow, progress.tokens.end());
        if (TextUtilities::compressionRatio(newest) > *options.compressionRatioThreshold) {
            return false;
        }
    }
    if (progress.avgLogprob && options.logProbThreshold && *progress.avgLogprob < *options.logProbThreshold) {
        return false;
    }
    return std::nullopt;
}

} // namespace ZodozorEro
