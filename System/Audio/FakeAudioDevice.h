#pragma once

#include "System/Audio/AudioEngine.h"

#include <memory>
#include <optional>
#include <vector>

namespace System::Audio {

// An in-memory microphone for tests. Engines made by factory() share this device's state: the test sets the
// input format, makes a start fail, delivers blocks to the installed tap on its own thread and posts
// configuration changes, then reads back what the engines did.
class FakeAudioDevice {
public:
    FakeAudioDevice();
    explicit FakeAudioDevice(AudioFormat inputFormat);

    AudioEngineFactory factory();

    void setInputFormat(AudioFormat format);
    // The next start() of any engine throws this error; later starts succeed again.
    void failNextStart(AudioEngineError error);
    // Calls the tap with `buffer` when an engine is running with a tap installed; false when nobody listened.
    bool deliver(const AudioPCMBuffer& buffer);
    // Calls every registered configuration handler.
    void changeConfiguration();

    // The device that engines record from after selectDevice(); engines accept only ids in `devices`.
    void setSelectableDevices(std::vector<std::uint32_t> devices);
    std::optional<std::uint32_t> selectedDevice() const;

    int enginesMade() const;
    int liveEngines() const;
    int liveObservers() const;
    int starts() const;
    bool isRunning() const;
    bool hasTap() const;
    std::optional<std::uint32_t> tapBufferSize() const;
    std::optional<AudioFormat> tapFormat() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace System::Audio
