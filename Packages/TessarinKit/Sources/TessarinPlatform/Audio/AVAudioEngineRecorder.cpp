#include "TessarinPlatform/Audio/AVAudioEngineRecorder.h"

#include "System/Audio/PulseAudioEngine.h"
#include "System/Log/Logger.h"

#include <future>

namespace TessarinPlatform {

namespace Audio = System::Audio;
namespace Con = System::Concurrency;

namespace {
const System::Log::Logger log{"com.tessarin.Tessarin", "Audio"};
}

AVAudioEngineRecorder::AVAudioEngineRecorder()
    : AVAudioEngineRecorder(Audio::PulseAudioEngine::factory(),
                            std::make_unique<Con::SerialQueue>("com.tessarin.Tessarin.recorder"), nullptr) {}

AVAudioEngineRecorder::AVAudioEngineRecorder(Audio::AudioEngineFactory makeEngine, Con::Executor& executor)
    : AVAudioEngineRecorder(std::move(makeEngine), nullptr, &executor) {}

AVAudioEngineRecorder::AVAudioEngineRecorder(Audio::AudioEngineFactory makeEngine,
                                             std::unique_ptr<Con::SerialQueue> ownQueue,
                                             Con::Executor* executor)
    : makeEngine_(std::move(makeEngine))
    , ownQueue_(std::move(ownQueue))
    , executor_(executor ? *executor : *ownQueue_) {}

AVAudioEngineRecorder::~AVAudioEngineRecorder() {
    lifetime_.reset();
    if (ownQueue_ && !ownQueue_->isCurrent()) {
        // The engine belongs to the queue's thread: tear it down there, then stop the queue.
        std::promise<void> done;
        ownQueue_->post([&] {
            tearDownEngine();
            done.set_value();
        });
        done.get_future().wait();
        ownQueue_.reset();
    } else {
        tearDownEngine();
    }
}

Con::Task<void> AVAudioEngineRecorder::prepare() {
    co_await Con::runOn(executor_, [this] { prepareEngine(); });
}

Con::Task<Con::AsyncStream<TessarinCore::AudioChunk>> AVAudioEngineRecorder::start() {
    co_return co_await Con::runOn(executor_, [this] { return startRecording(); });
}

Con::Task<TessarinCore::AudioClip> AVAudioEngineRecorder::stop() {
    co_return co_await Con::runOn(executor_, [this] { return stopRecording(); });
}

void AVAudioEngineRecorder::prepareEngine() {
    if (needsRebuild_ && !isCapturing_) {
        tearDownEngine();
    }
    if (engine_) {
        return;
    }
    auto engine = makeEngine_();
    engine->inputNode();
    engine->prepare();
    // The handler runs on the engine's thread: it only hands the change to the recorder's executor.
    configurationObserver_ =
        engine->observeConfigurationChanges([this, lifetime = std::weak_ptr<bool>(lifetime_)] {
            if (lifetime.expired()) {
                return;
            }
            executor_.post([this, lifetime] {
                if (!lifetime.expired()) {
                    configurationChanged();
                }
            });
        });
    engine_ = std::move(engine);
}

Con::AsyncStream<TessarinCore::AudioChunk> AVAudioEngineRecorder::startRecording() {
    prepareEngine();
    if (isCapturing_) {
        throw RecorderError(RecorderError::Case::alreadyRecording);
    }
    if (!engine_) {
        throw RecorderError(RecorderError::Case::noInputDevice);
    }
    auto& input = engine_->inputNode();
    const Audio::AudioFormat format = input.outputFormat();
    if (!(format.sampleRate > 0) || format.channelCount == 0) {
        throw RecorderError(RecorderError::Case::noInputDevice);
    }
    auto stream = capture_->begin(format);
    input.installTap(tapBufferSize, format,
                     [capture = capture_](const Audio::AudioPCMBuffer& buffer) { capture->append(buffer); });
    try {
        engine_->start();
    } catch (...) {
        input.removeTap();
        capture_->end();
        throw;
    }
    isCapturing_ = true;
    return stream;
}

TessarinCore::AudioClip AVAudioEngineRecorder::stopRecording() {
    if (isCapturing_ && engine_) {
        engine_->inputNode().removeTap();
        engine_->stop();
    }
    isCapturing_ = false;
    if (needsRebuild_) {
        tearDownEngine();
    }
    return capture_->end();
}

void AVAudioEngineRecorder::configurationChanged() {
    log.notice("Audio configuration changed; engine will be rebuilt");
    needsRebuild_ = true;
    if (!isCapturing_) {
        tearDownEngine();
    }
}

void AVAudioEngineRecorder::tearDownEngine() {
    configurationObserver_.reset();
    if (engine_) {
        engine_->stop();
    }
    engine_.reset();
    needsRebuild_ = false;
}

} // namespace TessarinPlatform
