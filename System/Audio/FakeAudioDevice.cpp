#include "System/Audio/FakeAudioDevice.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace System::Audio {

struct FakeAudioDevice::State {
    std::mutex mutex;
    AudioFormat inputFormat;
    std::optional<AudioEngineError> nextStartError;
    int enginesMade = 0;
    int liveEngines = 0;
    int starts = 0;
    bool running = false;
    std::optional<TapBlock> tap;
    std::uint32_t tapBufferSize = 0;
    AudioFormat tapFormat;
    int nextObserverId = 0;
    std::map<int, std::function<void()>> observers;
    std::vector<std::uint32_t> selectableDevices;
    std::optional<std::uint32_t> selectedDevice;
};

namespace {

class FakeObservation : public ConfigurationObservation {
public:
    FakeObservation(std::shared_ptr<FakeAudioDevice::State> state, int id)
        : state_(std::move(state))
        , id_(id) {}
    ~FakeObservation() override {
        std::lock_guard lock(state_->mutex);
        state_->observers.erase(id_);
    }

private:
    std::shared_ptr<FakeAudioDevice::State> state_;
    int id_;
};

class FakeEngine : public AudioEngine, public AudioInputNode {
public:
    explicit FakeEngine(std::shared_ptr<FakeAudioDevice::State> state)
        : state_(std::move(state)) {
        std::lock_guard lock(state_->mutex);
        ++state_->enginesMade;
        ++state_->liveEngines;
    }
    ~FakeEngine() override {
        std::lock_guard lock(state_->mutex);
        --state_->liveEngines;
        if (owner_) {
            state_->running = false;
            state_->tap.reset();
        }
    }

    AudioInputNode& inputNode() override { return *this; }
    void prepare() override {}

    void start() override {
        std::lock_guard lock(state_->mutex);
        if (state_->nextStartError) {
            AudioEngineError error = *state_->nextStartError;
            state_->nextStartError.reset();
            throw error;
        }
        ++state_->starts;
        state_->running = true;
        owner_ = true;
    }

    void stop() override {
        std::lock_guard lock(state_->mutex);
        if (owner_) {
            state_->running = false;
        }
    }

    AudioFormat outputFormat() override {
        std::lock_guard lock(state_->mutex);
        return state_->inputFormat;
    }

    void installTap(std::uint32_t bufferSize, AudioFormat format, TapBlock block) override {
        std::lock_guard lock(state_->mutex);
        state_->tap = std::move(block);
        state_->tapBufferSize = bufferSize;
        state_->tapFormat = format;
        owner_ = true;
    }

    void removeTap() override {
        std::lock_guard lock(state_->mutex);
        if (owner_) {
            state_->tap.reset();
        }
    }

    bool selectDevice(std::uint32_t deviceID) override {
        std::lock_guard lock(state_->mutex);
        const auto& devices = state_->selectableDevices;
        if (std::find(devices.begin(), devices.end(), deviceID) == devices.end()) {
            return false;
        }
        state_->selectedDevice = deviceID;
        return true;
    }

    std::unique_ptr<ConfigurationObservation>
    observeConfigurationChanges(std::function<void()> handler) override {
        std::lock_guard lock(state_->mutex);
        const int id = state_->nextObserverId++;
        state_->observers.emplace(id, std::move(handler));
        return std::make_unique<FakeObservation>(state_, id);
    }

private:
    std::shared_ptr<FakeAudioDevice::State> state_;
    bool owner_ = false; // this engine is the one that uses the device's single input
};

} // namespace

FakeAudioDevice::FakeAudioDevice()
    : FakeAudioDevice(AudioFormat{48'000, 2}) {}

FakeAudioDevice::FakeAudioDevice(AudioFormat inputFormat)
    : state_(std::make_shared<State>()) {
    state_->inputFormat = inputFormat;
}

AudioEngineFactory FakeAudioDevice::factory() {
    return [state = state_]() -> std::unique_ptr<AudioEngine> { return std::make_unique<FakeEngine>(state); };
}

void FakeAudioDevice::setInputFormat(AudioFormat format) {
    std::lock_guard lock(state_->mutex);
    state_->inputFormat = format;
}

void FakeAudioDevice::failNextStart(AudioEngineError error) {
    std::lock_guard lock(state_->mutex);
    state_->nextStartError = std::move(error);
}

bool FakeAudioDevice::deliver(const AudioPCMBuffer& buffer) {
    TapBlock tap;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->running || !state_->tap) {
            return false;
        }
        tap = *state_->tap;
    }
    tap(buffer);
    return true;
}

void FakeAudioDevice::changeConfiguration() {
    std::map<int, std::function<void()>> observers;
    {
        std::lock_guard lock(state_->mutex);
        observers = state_->observers;
    }
    for (auto& [id, handler] : observers) {
        handler();
    }
}

void FakeAudioDevice::setSelectableDevices(std::vector<std::uint32_t> devices) {
    std::lock_guard lock(state_->mutex);
    state_->selectableDevices = std::move(devices);
}

std::optional<std::uint32_t> FakeAudioDevice::selectedDevice() const {
    std::lock_guard lock(state_->mutex);
    return state_->selectedDevice;
}

int FakeAudioDevice::enginesMade() const {
    std::lock_guard lock(state_->mutex);
    return state_->enginesMade;
}

int FakeAudioDevice::liveEngines() const {
    std::lock_guard lock(state_->mutex);
    return state_->liveEngines;
}

int FakeAudioDevice::liveObservers() const {
    std::lock_guard lock(state_->mutex);
    return int(state_->observers.size());
}

int FakeAudioDevice::starts() const {
    std::lock_guard lock(state_->mutex);
    return state_->starts;
}

bool FakeAudioDevice::isRunning() const {
    std::lock_guard lock(state_->mutex);
    return state_->running;
}

bool FakeAudioDevice::hasTap() const {
    std::lock_guard lock(state_->mutex);
    return state_->tap.has_value();
}

std::optional<std::uint32_t> FakeAudioDevice::tapBufferSize() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->tap) {
        return std::nullopt;
    }
    return state_->tapBufferSize;
}

std::optional<AudioFormat> FakeAudioDevice::tapFormat() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->tap) {
        return std::nullopt;
    }
    return state_->tapFormat;
}

} // namespace System::Audio
