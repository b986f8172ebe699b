#pragma once

#include "System/Audio/AudioFormat.h"
#include "System/Audio/AudioPCMBuffer.h"
#include "System/Log/ErrorDescription.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace System::Audio {

// Why an engine could not start.
class AudioEngineError : public System::Log::DescribedError {
public:
    enum class Code {
        serverUnavailable, // no sound server answers
        noInputDevice,     // the server has no source to record from
        streamFailed,      // the server refused the capture stream
    };

    AudioEngineError(Code code, std::string detail);

    Code code() const { return code_; }
    const std::string& detail() const { return detail_; }

private:
    Code code_;
    std::string detail_;
};

// Receives each captured block, on the engine's audio thread. The buffer is valid only during the call.
using TapBlock = std::function<void(const AudioPCMBuffer& buffer)>;

// The engine's microphone side.
class AudioInputNode {
public:
    virtual ~AudioInputNode() = default;

    // The default input's current format; the zero format (rate 0, no channels) when there is none.
    virtual AudioFormat outputFormat() = 0;
    // Blocks of `bufferSize` frames in `format` go to `block` while the engine runs. Install it before
    // start(); one tap at a time, a new tap replaces the old one. The block must not remove its own tap.
    virtual void installTap(std::uint32_t bufferSize, AudioFormat format, TapBlock block) = 0;
    // Once this returns, the tap block is not running and will not be called again.
    virtual void removeTap() = 0;
    // Records from the input device `deviceID` (see AudioInputDevice) instead of the default input, from the
    // next start() on. False, changing nothing, when there is no such device or the engine can't choose.
    virtual bool selectDevice(std::uint32_t deviceID) {
        (void)deviceID;
        return false;
    }
};

// A device that can record: its identifier on the sound server and the name it shows the user.
struct AudioInputDevice {
    std::uint32_t id = 0;
    std::string name;

    bool operator==(const AudioInputDevice&) const = default;
};

// Ends a registration for configuration changes when destroyed; after that the handler is not running and
// will not be called again.
class ConfigurationObservation {
public:
    virtual ~ConfigurationObservation() = default;
};

// An audio engine with one input. Not thread-safe: one owner drives it; only the tap and the configuration
// handler run on threads of the engine.
class AudioEngine {
public:
    virtual ~AudioEngine() = default;

    // Creates the input side on first use.
    virtual AudioInputNode& inputNode() = 0;
    // Acquires what start() needs ahead of time; failures are reported by start().
    virtual void prepare() = 0;
    // Starts capturing into the installed tap; throws AudioEngineError.
    virtual void start() = 0;
    // Stops capturing; harmless when not running.
    virtual void stop() = 0;
    // `handler` runs on an engine thread whenever the default input device or its format changes, or the
    // sound server goes away.
    virtual std::unique_ptr<ConfigurationObservation>
    observeConfigurationChanges(std::function<void()> handler) = 0;
};

// Makes a fresh engine; the recorder asks for a new one after a configuration change.
using AudioEngineFactory = std::function<std::unique_ptr<AudioEngine>()>;

} // namespace System::Audio
