#pragma once

#include "System/Audio/AudioEngine.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

namespace System::Audio {

// An audio engine on the PulseAudio client library, which PipeWire desktops serve as well. It records the
// server's default source as 32-bit float in the tap's format (the server converts when the source's own
// format differs) and cuts the stream into blocks of the tap's size. The audio thread is the client
// library's threaded main loop, which also reports configuration changes: a new default source, a change of
// the default source's format, its removal, or the loss of the server.
//
// The server is the one libpulse finds (PULSE_SERVER, then the user's runtime folder); it is never spawned.
// Observations must be destroyed before the engine.
class PulseAudioEngine : public AudioEngine, private AudioInputNode {
public:
    explicit PulseAudioEngine(std::string clientName = "Parlindo");
    ~PulseAudioEngine() override;
    PulseAudioEngine(const PulseAudioEngine&) = delete;
    PulseAudioEngine& operator=(const PulseAudioEngine&) = delete;

    static AudioEngineFactory factory();
    // The server's sources that record from hardware or a pipe (monitors of outputs left out), in the
    // server's order. Throws AudioEngineError when the server can't be reached.
    static std::vector<AudioInputDevice> inputDevices();

    AudioInputNode& inputNode() override { return *this; }
    void prepare() override;
    void start() override;
    void stop() override;
    std::unique_ptr<ConfigurationObservation>
    observeConfigurationChanges(std::function<void()> handler) override;

private:
    class Observation;
    class Lock;

    AudioFormat outputFormat() override;
    void installTap(std::uint32_t bufferSize, AudioFormat format, TapBlock block) override;
    void removeTap() override;
    bool selectDevice(std::uint32_t deviceID) override;

    // Connects to the server unless connected; with the main-loop lock held. False when it can't.
    bool connectLocked();
    // Reads the default source's name, index and format from the server; lock held, not on the loop thread.
    void refreshDefaultSourceLocked();
    void disconnectStreamLocked();
    void dropContextLocked();
    void removeObserver(int id);
    void notifyObserversLocked();

    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onRead(pa_stream* stream, std::size_t bytes, void* self);
    static void onSubscription(pa_context* context, int type, std::uint32_t index, void* self);
    void readLocked();

    std::string clientName_;
    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    bool contextWasReady_ = false;
    std::string lastError_;

    // The default source as last seen, to tell a real change from the server's other notifications.
    std::string defaultSourceName_;
    std::optional<std::uint32_t> defaultSourceIndex_;
    AudioFormat defaultSourceFormat_;

    std::optional<std::uint32_t> selectedSource_; // the source chosen by selectDevice(), else the default
    AudioFormat streamFormat_; // what the running stream delivers
    std::optional<TapBlock> tap_;
    std::uint32_t tapFrames_ = 0;
    AudioFormat tapFormat_;
    std::optional<AudioPCMBuffer> block_; // the block being filled for the tap
    std::uint32_t blockFill_ = 0;

    int nextObserverId_ = 0;
    std::map<int, std::function<void()>> observers_;
};

} // namespace System::Audio
