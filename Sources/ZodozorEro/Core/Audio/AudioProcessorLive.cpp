#include "ZodozorEro/Core/Audio/AudioLog.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include "System/Audio/PulseAudioEngine.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

namespace ZodozorEro {

using System::Audio::AudioConverter;
using System::Audio::AudioFormat;
using System::Audio::AudioPCMBuffer;
using System::Log::Public;

namespace {

// The processor whose tap runs on this thread, and the number of that tap's engine.
struct RunningTap {
    const AudioProcessor* processor = nullptr;
    std::uint64_t generation = 0;
};
thread_local RunningTap runningTap;

class RunningTapScope {
public:
    explicit RunningTapScope(RunningTap tap)
        : outer_(std::exchange(runningTap, tap)) {}
    ~RunningTapScope() { runningTap = outer_; }
    RunningTapScope(const RunningTapScope&) = delete;
    RunningTapScope& operator=(const RunningTapScope&) = delete;

private:
    RunningTap outer_;
};

} // namespace

// Lets a stream's termination handler reach the processor only while it exists.
struct AudioProcessor::Lifetime {
    std::mutex mutex;
    AudioProcessor* processor = nullptr;
};

AudioProcessor::AudioProcessor()
    : AudioProcessor(System::Audio::PulseAudioEngine::factory()) {}

AudioProcessor::AudioProcessor(System::Audio::AudioEngineFactory makeEngine)
    : makeEngine_(std::move(makeEngine))
    , lifetime_(std::make_shared<Lifetime>()) {
    lifetime_->processor = this;
}

AudioProcessor::~AudioProcessor() {
    {
        std::lock_guard lock(lifetime_->mutex);
        lifetime_->processor = nullptr;
    }
    stopRecording();
    // A stop left to the stopper has been done by now, or is no longer needed; its thread ends here.
    std::unique_ptr<System::Concurrency::SerialQueue> stopper;
    {
        std::lock_guard lock(stopperMutex_);
        stopper = std::move(stopper_);
    }
    stopper.reset();
}

// ---- Stores ----

std::vector<float> AudioProcessor::audioSamples() const {
    std::lock_guard lock(storeMutex_);
    return audioSamples_;
}

std::size_t AudioProcessor::audioSampleCount() const {
    std::lock_guard lock(storeMutex_);
    return audioSamples_.size();
}

void AudioProcessor::purgeAudioSamples(std::int64_t keepingLast) {
    std::lock_guard lock(storeMutex_);
    const std::int64_t keep = std::max<std::int64_t>(keepingLast, 0);
    if (std::int64_t(audioSamples_.size()) > keep) {
        audioSamples_.erase(audioSamples_.begin(), audioSamples_.end() - keep);
    }
}

std::vector<AudioEnergy> AudioProcessor::audioEnergy() const {
    std::lock_guard lock(storeMutex_);
    return audioEnergy_;
}

std::vector<float> AudioProcessor::relativeEnergy() const {
    std::lock_guard lock(storeMutex_);
    std::vector<float> relative;
    relative.reserve(audioEnergy_.size());
    for (const AudioEnergy& energy : audioEnergy_) {
        relative.push_back(energy.rel);
    }
    return relative;
}

std::int64_t AudioProcessor::relativeEnergyWindow() const {
    std::lock_guard lock(storeMutex_);
    return relativeEnergyWindow_;
}

void AudioProcessor::setRelativeEnergyWindow(std::int64_t window) {
    if (window <= 0) {
        throw std::invalid_argument("The relative energy window must be positive.");
    }
    std::lock_guard lock(storeMutex_);
    relativeEnergyWindow_ = window;
}

std::int64_t AudioProcessor::minBufferLength() const {
    std::lock_guard lock(storeMutex_);
    return minBufferLength_;
}

void AudioProcessor::setMinBufferLength(std::int64_t frames) {
    if (frames <= 0 || frames > std::int64_t(std::numeric_limits<std::uint32_t>::max())) {
        throw std::invalid_argument("The capture block length must be between 1 and 2^32 - 1 frames.");
    }
    std::lock_guard lock(storeMutex_);
    minBufferLength_ = frames;
}

bool AudioProcessor::isInputSuppressed() const {
    std::lock_guard lock(storeMutex_);
    return isInputSuppressed_;
}

void AudioProcessor::setInputSuppressed(bool suppressed) {
    std::lock_guard lock(storeMutex_);
    isInputSuppressed_ = suppressed;
}

void AudioProcessor::setAudioBufferCallback(AudioBufferCallback callback) {
    std::lock_guard lock(storeMutex_);
    audioBufferCallback_ = std::move(callback);
}

bool AudioProcessor::hasEngine() const {
    std::lock_guard lock(engineMutex_);
    return audioEngine_ != nullptr;
}

// ---- Recording ----

std::unique_ptr<System::Audio::AudioEngine> AudioProcessor::setupEngine(std::optional<DeviceID> inputDeviceID) {
    auto engine = makeEngine_();
    auto& input = engine->inputNode();
    if (inputDeviceID) {
        if (input.selectDevice(*inputDeviceID)) {
            audioLog().info("Successfully set input device.");
        } else {
            audioLog().error("Error setting the input device {}; recording from the default input",
                             *inputDeviceID);
        }
    }
    const AudioFormat nodeFormat = input.outputFormat();
    if (!nodeFormat.isValid()) {
        throw WhisperError::audioProcessingFailed("Failed to create node format");
    }
    const auto desiredFormat = AudioFormat::make(sampleRate, 1);
    if (!desiredFormat) {
        throw WhisperError::audioProcessingFailed("Failed to create desired format");
    }
    std::shared_ptr<AudioConverter> converter = AudioConverter::make(nodeFormat, *desiredFormat);
    if (!converter) {
        throw WhisperError::audioProcessingFailed("Failed to create audio converter");
    }
    const std::uint64_t generation = ++engineGeneration_;
    // The tap ends (removeTap) before this processor is destroyed, so it may refer to it directly.
    input.installTap(std::uint32_t(minBufferLength()), nodeFormat,
                     [this, converter, generation](const AudioPCMBuffer& buffer) {
                         // A stop on this thread closed the tap ahead of the engine's teardown.
                         if (generation <= closedGeneration_.load()) {
                             return;
                         }
                         const RunningTapScope scope({this, generation});
                         handleTapBuffer(buffer, *converter);
                     });
    engine->prepare();
    try {
        engine->start();
    } catch (...) {
        input.removeTap();
        throw;
    }
    return engine;
}

void AudioProcessor::handleTapBuffer(const AudioPCMBuffer& buffer, AudioConverter& converter) {
    std::optional<AudioPCMBuffer> converted;
    const AudioPCMBuffer* block = &buffer;
    if (buffer.format().sampleRate != sampleRate) {
        try {
            converted = resampleBuffer(buffer, converter, false);
        } catch (const WhisperError& error) {
            audioLog().error("Failed to resample buffer: {}", Public(error.description()));
            return;
        }
        block = &*converted;
    }
    std::vector<float> samples(block->channelData(0), block->channelData(0) + block->frameLength());
    if (isInputSuppressed()) {
        std::fill(samples.begin(), samples.end(), 0.0f);
    }
    processBuffer(std::move(samples));
}

void AudioProcessor::processBuffer(std::vector<float> buffer) {
    AudioBufferCallback callback;
    {
        std::lock_guard lock(storeMutex_);
        audioSamples_.insert(audioSamples_.end(), buffer.begin(), buffer.end());
        // Loudness is measured against the quietest of the last 20 blocks.
        std::optional<float> reference;
        const std::size_t history = std::min<std::size_t>(audioEnergy_.size(), 20);
        for (std::size_t i = audioEnergy_.size() - history; i < audioEnergy_.size(); ++i) {
            reference = std::min(reference.value_or(std::numeric_limits<float>::infinity()), audioEnergy_[i].avg);
        }
        const float rel = calculateRelativeEnergy(buffer, reference.value_or(std::numeric_limits<float>::infinity()));
        const EnergyLevels levels = calculateEnergy(buffer);
        const AudioEnergy energy{rel, levels.avg, levels.max, levels.min};
        audioEnergy_.push_back(energy);
        callback = audioBufferCallback_;
        const std::int64_t cadence = minBufferLength_ * relativeEnergyWindow_;
        if (cadence > 0 && std::int64_t(audioSamples_.size()) % cadence == 0) {
            audioLog().debug("Current audio size: {} samples, most recent buffer: {} samples, most recent energy: "
                             "(rel: {}, avg: {}, max: {}, min: {})",
                             audioSamples_.size(), buffer.size(), energy.rel, energy.avg, energy.max, energy.min);
        }
    }
    if (callback) {
        callback(buffer);
    }
}

void AudioProcessor::startRecordingLive(std::optional<DeviceID> inputDeviceID, AudioBufferCallback callback) {
    std::lock_guard engineLock(engineMutex_);
    {
        std::lock_guard lock(storeMutex_);
        audioSamples_.clear();
        audioEnergy_.clear();
    }
    stopEngineLocked();
    auto engine = setupEngine(inputDeviceID);
    setAudioBufferCallback(std::move(callback));
    audioEngine_ = std::move(engine);
    lastInputDevice_ = inputDeviceID;
}

std::pair<AudioSampleStream, AudioSampleStream::Continuation>
AudioProcessor::startStreamingRecordingLive(std::optional<DeviceID> inputDeviceID) {
    auto [stream, continuation] = AudioSampleStream::makeStream();
    continuation.onTermination([lifetime = lifetime_](System::Concurrency::StreamTermination) {
        std::lock_guard lock(lifetime->mutex);
        if (lifetime->processor) {
            lifetime->processor->setAudioBufferCallback({});
            lifetime->processor->stopRecording();
        }
    });
    try {
        startRecordingLive(inputDeviceID,
                           [continuation](const std::vector<float>& buffer) { continuation.yield(buffer); });
    } catch (...) {
        continuation.finish(std::current_exception());
    }
    return {std::move(stream), std::move(continuation)};
}

void AudioProcessor::pauseRecording() {
    std::lock_guard lock(engineMutex_);
    if (audioEngine_) {
        audioEngine_->stop();
    }
}

void AudioProcessor::resumeRecordingLive(std::optional<DeviceID> inputDeviceID, AudioBufferCallback callback) {
    std::lock_guard lock(engineMutex_);
    if (inputDeviceID == lastInputDevice_) {
        if (audioEngine_) {
            audioEngine_->start();
        }
    } else {
        // The old engine lets go of the input before the new one takes it.
        stopEngineLocked();
        audioEngine_ = setupEngine(inputDeviceID);
    }
    if (callback) {
        setAudioBufferCallback(std::move(callback));
    }
}

void AudioProcessor::stopRecording() {
    if (runningTap.processor == this) {
        stopFromTap(runningTap.generation);
        return;
    }
    std::lock_guard lock(engineMutex_);
    stopEngineLocked();
}

void AudioProcessor::stopFromTap(std::uint64_t generation) {
    // The audio thread holds the engine's own lock while the tap runs, and an owner taking the engine
    // apart waits for that lock with engineMutex_ held: waiting here for engineMutex_ could deadlock, and
    // an engine can't stop its own thread. So the tap is closed now and the engine let go elsewhere.
    closedGeneration_.store(generation);
    std::lock_guard lock(stopperMutex_);
    if (!stopper_) {
        stopper_ = std::make_unique<System::Concurrency::SerialQueue>("parlindo.audio-stop");
    }
    stopper_->post([this, generation] {
        std::lock_guard engineLock(engineMutex_);
        // A start since then has already replaced that engine.
        if (engineGeneration_ == generation) {
            stopEngineLocked();
        }
    });
}

void AudioProcessor::stopEngineLocked() {
    if (!audioEngine_) {
        return;
    }
    // Once the tap is removed no block arrives any more, so the stores are the owner's again.
    audioEngine_->inputNode().removeTap();
    audioEngine_->stop();
    audioEngine_.reset();
}

// ---- Devices ----

std::vector<AudioDevice> AudioProcessor::getAudioDevices() {
    std::vector<AudioDevice> devices;
    try {
        for (const auto& device : System::Audio::PulseAudioEngine::inputDevices()) {
            devices.push_back(AudioDevice{device.id, device.name});
        }
    } catch (const System::Audio::AudioEngineError& error) {
        audioLog().error("Error: Unable to get the audio devices: {}", Public(error.description()));
        return {};
    }
    return devices;
}

bool AudioProcessor::requestRecordPermission() {
    try {
        System::Audio::PulseAudioEngine::inputDevices();
        return true;
    } catch (const System::Audio::AudioEngineError& error) {
        audioLog().error("Microphone access denied: {}", Public(error.description()));
        return false;
    }
}

} // namespace ZodozorEro
