#pragma once

#include "System/Audio/AudioConverter.h"
#include "System/Concurrency/AsyncStream.h"
#include "TessarinCore/Domain/Audio.h"

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace TessarinPlatform {

// Converts the blocks of one recording to 16 kHz mono float, collects them and streams each as a chunk. The
// audio thread calls append() while the recorder calls begin() and end(), so all state sits behind one mutex.
class CaptureBuffer {
public:
    // Room reserved at the start of a recording: a minute at 16 kHz.
    static constexpr std::size_t reservedSamples = 960'000;

    // Starts a recording from `inputFormat`; throws RecorderError::unsupportedFormat when it can't be
    // converted.
    System::Concurrency::AsyncStream<TessarinCore::AudioChunk>
    begin(const System::Audio::AudioFormat& inputFormat);
    // One block from the audio engine. Ignored while no recording runs; a block that fails to convert is
    // dropped and the recording goes on.
    void append(const System::Audio::AudioPCMBuffer& buffer);
    // Ends the recording: returns everything collected (empty when none ran) and finishes the chunk stream.
    TessarinCore::AudioClip end();

    struct State {
        std::unique_ptr<System::Audio::AudioConverter> converter;
        std::optional<System::Audio::AudioFormat> outputFormat;
        std::vector<float> samples;
        std::optional<System::Concurrency::AsyncStream<TessarinCore::AudioChunk>::Continuation> continuation;
    };

private:
    std::mutex mutex_;
    State state_;
};

} // namespace TessarinPlatform
