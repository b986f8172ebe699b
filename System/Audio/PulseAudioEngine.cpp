#include "System/Audio/PulseAudioEngine.h"

#include <pulse/pulseaudio.h>

#include <cmath>
#include <vector>

namespace System::Audio {

// Holds the main-loop lock, except on the loop's own thread, where callbacks already run under it.
class PulseAudioEngine::Lock {
public:
    explicit Lock(pa_threaded_mainloop* mainloop)
        : mainloop_(pa_threaded_mainloop_in_thread(mainloop) ? nullptr : mainloop) {
        if (mainloop_) {
            pa_threaded_mainloop_lock(mainloop_);
        }
    }
    ~Lock() {
        if (mainloop_) {
            pa_threaded_mainloop_unlock(mainloop_);
        }
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pa_threaded_mainloop* mainloop_;
};

class PulseAudioEngine::Observation : public ConfigurationObservation {
public:
    Observation(PulseAudioEngine& engine, int id)
        : engine_(engine)
        , id_(id) {}
    ~Observation() override { engine_.removeObserver(id_); }

private:
    PulseAudioEngine& engine_;
    int id_;
};

namespace {

// Waits on the loop (lock held) until the operation has called back.
void await(pa_threaded_mainloop* mainloop, pa_operation* operation) {
    if (!operation) {
        return;
    }
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_threaded_mainloop_wait(mainloop);
    }
    pa_operation_unref(operation);
}

void forget(pa_operation* operation) {
    if (operation) {
        pa_operation_unref(operation);
    }
}

struct SourceAnswer {
    pa_threaded_mainloop* mainloop = nullptr;
    bool found = false;
    std::uint32_t index = 0;
    pa_sample_spec sampleFormat{};
    std::string name;
    bool isMonitor = false;
};

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* answer = static_cast<SourceAnswer*>(userdata);
    if (eol == 0 && info) {
        answer->found = true;
        answer->index = info->index;
        answer->sampleFormat = info->sample_spec;
        answer->name = info->name ? info->name : "";
        answer->isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
    }
    pa_threaded_mainloop_signal(answer->mainloop, 0);
}

struct SourceListAnswer {
    pa_threaded_mainloop* mainloop = nullptr;
    std::vector<AudioInputDevice> devices;
};

void onSourceListEntry(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* answer = static_cast<SourceListAnswer*>(userdata);
    if (eol == 0 && info && info->monitor_of_sink == PA_INVALID_INDEX && info->sample_spec.channels > 0) {
        answer->devices.push_back(AudioInputDevice{info->index, info->description ? info->description : ""});
    }
    pa_threaded_mainloop_signal(answer->mainloop, 0);
}

struct ServerAnswer {
    pa_threaded_mainloop* mainloop = nullptr;
    std::string defaultSource;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* answer = static_cast<ServerAnswer*>(userdata);
    if (info && info->default_source_name) {
        answer->defaultSource = info->default_source_name;
    }
    pa_threaded_mainloop_signal(answer->mainloop, 0);
}

AudioFormat formatOf(const pa_sample_spec& sampleFormat) {
    return AudioFormat{double(sampleFormat.rate), sampleFormat.channels};
}

} // namespace

PulseAudioEngine::PulseAudioEngine(std::string clientName)
    : clientName_(std::move(clientName)) {
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_) {
        pa_threaded_mainloop_set_name(mainloop_, "parlindo-audio");
        if (pa_threaded_mainloop_start(mainloop_) < 0) {
            pa_threaded_mainloop_free(mainloop_);
            mainloop_ = nullptr;
        }
    }
}

PulseAudioEngine::~PulseAudioEngine() {
    if (!mainloop_) {
        return;
    }
    {
        Lock lock(mainloop_);
        disconnectStreamLocked();
        dropContextLocked();
    }
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
}

AudioEngineFactory PulseAudioEngine::factory() {
    return []() -> std::unique_ptr<AudioEngine> { return std::make_unique<PulseAudioEngine>(); };
}

std::vector<AudioInputDevice> PulseAudioEngine::inputDevices() {
    PulseAudioEngine probe("Parlindo device list");
    if (!probe.mainloop_) {
        throw AudioEngineError(AudioEngineError::Code::serverUnavailable, "the audio thread could not be started");
    }
    Lock lock(probe.mainloop_);
    if (!probe.connectLocked()) {
        throw AudioEngineError(AudioEngineError::Code::serverUnavailable, probe.lastError_);
    }
    SourceListAnswer answer{probe.mainloop_, {}};
    await(probe.mainloop_, pa_context_get_source_info_list(probe.context_, onSourceListEntry, &answer));
    return answer.devices;
}

bool PulseAudioEngine::selectDevice(std::uint32_t deviceID) {
    if (!mainloop_) {
        return false;
    }
    Lock lock(mainloop_);
    if (!connectLocked()) {
        return false;
    }
    SourceAnswer source{mainloop_};
    await(mainloop_, pa_context_get_source_info_by_index(context_, deviceID, onSourceInfo, &source));
    if (!source.found || source.isMonitor) {
        return false;
    }
    selectedSource_ = deviceID;
    return true;
}

bool PulseAudioEngine::connectLocked() {
    if (!mainloop_) {
        lastError_ = "the audio thread could not be started";
        return false;
    }
    if (context_ && pa_context_get_state(context_) == PA_CONTEXT_READY) {
        return true;
    }
    dropContextLocked();
    contextWasReady_ = false;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), clientName_.c_str());
    if (!context_) {
        lastError_ = "the client context could not be made";
        return false;
    }
    pa_context_set_state_callback(context_, &PulseAudioEngine::onContextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        lastError_ = pa_strerror(pa_context_errno(context_));
        return false;
    }
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY) {
            break;
        }
        if (!PA_CONTEXT_IS_GOOD(state)) {
            lastError_ = pa_strerror(pa_context_errno(context_));
            return false;
        }
        pa_threaded_mainloop_wait(mainloop_);
    }
    contextWasReady_ = true;
    pa_context_set_subscribe_callback(
        context_,
        [](pa_context* c, pa_subscription_event_type_t type, std::uint32_t index, void* self) {
            onSubscription(c, int(type), index, self);
        },
        this);
    forget(pa_context_subscribe(
        context_, pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE), nullptr,
        nullptr));
    refreshDefaultSourceLocked();
    return true;
}

void PulseAudioEngine::dropContextLocked() {
    if (!context_) {
        return;
    }
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

void PulseAudioEngine::refreshDefaultSourceLocked() {
    ServerAnswer server{mainloop_, {}};
    await(mainloop_, pa_context_get_server_info(context_, onServerInfo, &server));
    defaultSourceName_ = server.defaultSource;
    defaultSourceIndex_.reset();
    defaultSourceFormat_ = {};
    if (server.defaultSource.empty()) {
        return;
    }
    SourceAnswer source{mainloop_};
    await(mainloop_,
          pa_context_get_source_info_by_name(context_, server.defaultSource.c_str(), onSourceInfo, &source));
    if (source.found) {
        defaultSourceIndex_ = source.index;
        defaultSourceFormat_ = formatOf(source.sampleFormat);
    }
}

void PulseAudioEngine::prepare() {
    if (!mainloop_) {
        return;
    }
    Lock lock(mainloop_);
    connectLocked();
}

AudioFormat PulseAudioEngine::outputFormat() {
    if (!mainloop_) {
        return {};
    }
    Lock lock(mainloop_);
    if (!connectLocked()) {
        return {};
    }
    if (selectedSource_) {
        SourceAnswer source{mainloop_};
        await(mainloop_, pa_context_get_source_info_by_index(context_, *selectedSource_, onSourceInfo, &source));
        return source.found && formatOf(source.sampleFormat).isValid() ? formatOf(source.sampleFormat) : AudioFormat{};
    }
    refreshDefaultSourceLocked();
    return defaultSourceFormat_.isValid() ? defaultSourceFormat_ : AudioFormat{};
}

void PulseAudioEngine::installTap(std::uint32_t bufferSize, AudioFormat format, TapBlock block) {
    if (!mainloop_) {
        return;
    }
    Lock lock(mainloop_);
    tap_ = std::move(block);
    tapFrames_ = bufferSize;
    tapFormat_ = format;
    block_ = AudioPCMBuffer::make(format, bufferSize);
    blockFill_ = 0;
}

void PulseAudioEngine::removeTap() {
    if (!mainloop_) {
        return;
    }
    Lock lock(mainloop_);
    tap_.reset();
    block_.reset();
    blockFill_ = 0;
}

void PulseAudioEngine::start() {
    if (!mainloop_) {
        throw AudioEngineError(AudioEngineError::Code::serverUnavailable,
                               "the audio thread could not be started");
    }
    Lock lock(mainloop_);
    if (stream_) {
        return;
    }
    if (!connectLocked()) {
        throw AudioEngineError(AudioEngineError::Code::serverUnavailable, lastError_);
    }
    AudioFormat format = tapFormat_;
    if (!tap_) {
        refreshDefaultSourceLocked();
        format = defaultSourceFormat_;
    }
    pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32NE, std::uint32_t(std::lround(format.sampleRate)),
                        std::uint8_t(format.channelCount)};
    if (!format.isValid() || format.channelCount > PA_CHANNELS_MAX || !pa_sample_spec_valid(&sampleFormat)) {
        throw AudioEngineError(defaultSourceName_.empty() ? AudioEngineError::Code::noInputDevice
                                                          : AudioEngineError::Code::streamFailed,
                               "the recording format is not supported");
    }
    std::string sourceName; // empty: the default source
    if (selectedSource_) {
        SourceAnswer source{mainloop_};
        await(mainloop_, pa_context_get_source_info_by_index(context_, *selectedSource_, onSourceInfo, &source));
        if (!source.found) {
            throw AudioEngineError(AudioEngineError::Code::noInputDevice, "the chosen microphone is gone");
        }
        sourceName = source.name;
    }
    pa_channel_map map;
    pa_channel_map_init_auto(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
    stream_ = pa_stream_new(context_, "Dictation", &sampleFormat, &map);
    if (!stream_) {
        throw AudioEngineError(AudioEngineError::Code::streamFailed, pa_strerror(pa_context_errno(context_)));
    }
    pa_stream_set_state_callback(stream_, &PulseAudioEngine::onStreamState, this);
    pa_stream_set_read_callback(stream_, &PulseAudioEngine::onRead, this);
    pa_buffer_attr attributes;
    attributes.maxlength = std::uint32_t(-1);
    attributes.tlength = attributes.prebuf = attributes.minreq = std::uint32_t(-1);
    // Fragments of one tap block keep the latency at about a block.
    attributes.fragsize = std::uint32_t((tapFrames_ ? tapFrames_ : 1024) * pa_frame_size(&sampleFormat));
    if (pa_stream_connect_record(stream_, sourceName.empty() ? nullptr : sourceName.c_str(), &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
        const std::string error = pa_strerror(pa_context_errno(context_));
        disconnectStreamLocked();
        throw AudioEngineError(AudioEngineError::Code::streamFailed, error);
    }
    for (;;) {
        const pa_stream_state_t state = pa_stream_get_state(stream_);
        if (state == PA_STREAM_READY) {
            break;
        }
        if (!PA_STREAM_IS_GOOD(state)) {
            const int code = pa_context_errno(context_);
            disconnectStreamLocked();
            throw AudioEngineError(code == PA_ERR_NOENTITY ? AudioEngineError::Code::noInputDevice
                                                           : AudioEngineError::Code::streamFailed,
                                   pa_strerror(code));
        }
        pa_threaded_mainloop_wait(mainloop_);
    }
    streamFormat_ = format;
    blockFill_ = 0;
}

void PulseAudioEngine::stop() {
    if (!mainloop_) {
        return;
    }
    Lock lock(mainloop_);
    disconnectStreamLocked();
    blockFill_ = 0;
}

void PulseAudioEngine::disconnectStreamLocked() {
    if (!stream_) {
        return;
    }
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

std::unique_ptr<ConfigurationObservation>
PulseAudioEngine::observeConfigurationChanges(std::function<void()> handler) {
    int id = 0;
    {
        std::optional<Lock> lock;
        if (mainloop_) {
            lock.emplace(mainloop_);
        }
        id = nextObserverId_++;
        observers_.emplace(id, std::move(handler));
    }
    return std::make_unique<Observation>(*this, id);
}

void PulseAudioEngine::removeObserver(int id) {
    std::optional<Lock> lock;
    if (mainloop_) {
        lock.emplace(mainloop_);
    }
    observers_.erase(id);
}

void PulseAudioEngine::notifyObserversLocked() {
    // A handler may end its own observation, so call copies.
    std::vector<std::function<void()>> handlers;
    for (auto& [id, handler] : observers_) {
        handlers.push_back(handler);
    }
    for (auto& handler : handlers) {
        handler();
    }
}

void PulseAudioEngine::onContextState(pa_context* context, void* self) {
    auto* engine = static_cast<PulseAudioEngine*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && engine->contextWasReady_) {
        engine->contextWasReady_ = false;
        engine->notifyObserversLocked();
    }
    pa_threaded_mainloop_signal(engine->mainloop_, 0);
}

void PulseAudioEngine::onStreamState(pa_stream*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseAudioEngine*>(self)->mainloop_, 0);
}

void PulseAudioEngine::onSubscription(pa_context* context, int type, std::uint32_t index, void* self) {
    auto* engine = static_cast<PulseAudioEngine*>(self);
    const int facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const int kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        // Also sent for changes of the default sink; only a new default source counts.
        forget(pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* self) {
                auto* engine = static_cast<PulseAudioEngine*>(self);
                const std::string name = info && info->default_source_name ? info->default_source_name : "";
                if (name != engine->defaultSourceName_) {
                    engine->defaultSourceName_ = name;
                    engine->defaultSourceIndex_.reset();
                    engine->notifyObserversLocked();
                }
            },
            engine));
        return;
    }
    if (facility != PA_SUBSCRIPTION_EVENT_SOURCE || index != engine->defaultSourceIndex_) {
        return;
    }
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        engine->defaultSourceIndex_.reset();
        engine->notifyObserversLocked();
    } else if (kind == PA_SUBSCRIPTION_EVENT_CHANGE) {
        // Also sent for volume and mute changes; only a new format counts.
        forget(pa_context_get_source_info_by_index(
            context, index,
            [](pa_context*, const pa_source_info* info, int eol, void* self) {
                auto* engine = static_cast<PulseAudioEngine*>(self);
                if (eol != 0 || !info) {
                    return;
                }
                const AudioFormat format = formatOf(info->sample_spec);
                if (format != engine->defaultSourceFormat_) {
                    engine->defaultSourceFormat_ = format;
                    engine->notifyObserversLocked();
                }
            },
            engine));
    }
}

void PulseAudioEngine::onRead(pa_stream*, std::size_t, void* self) {
    static_cast<PulseAudioEngine*>(self)->readLocked();
}

void PulseAudioEngine::readLocked() {
    const std::uint32_t channels = streamFormat_.channelCount;
    for (;;) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        // A hole (no data for a stretch) is skipped; so is everything while no tap is installed.
        if (data && tap_ && block_ && tapFormat_ == streamFormat_) {
            const auto* samples = static_cast<const float*>(data);
            const std::size_t frames = bytes / (sizeof(float) * channels);
            for (std::size_t frame = 0; frame < frames; ++frame) {
                for (std::uint32_t c = 0; c < channels; ++c) {
                    block_->channelData(c)[blockFill_] = samples[frame * channels + c];
                }
                if (++blockFill_ == tapFrames_) {
                    block_->setFrameLength(tapFrames_);
                    (*tap_)(*block_);
                    blockFill_ = 0;
                }
            }
        }
        pa_stream_drop(stream_);
    }
}

} // namespace System::Audio
