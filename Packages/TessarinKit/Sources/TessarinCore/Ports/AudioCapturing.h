#pragma once

#include "System/Concurrency/AsyncStream.h"
#include "System/Concurrency/Task.h"
#include "TessarinCore/Domain/Audio.h"

namespace TessarinCore {

// The microphone recorder.
class AudioCapturing {
public:
    virtual ~AudioCapturing() = default;

    // Called once at launch, ahead of the first recording. Throws when the microphone cannot be set up.
    virtual System::Concurrency::Task<void> prepare() = 0;
    // Begins a recording; the stream gives its chunks in recording order and ends when the recording stops.
    virtual System::Concurrency::Task<System::Concurrency::AsyncStream<AudioChunk>> start() = 0;
    // Ends the recording and returns all of it as one clip (empty when nothing was recorded). Never throws.
    virtual System::Concurrency::Task<AudioClip> stop() = 0;
};

} // namespace TessarinCore
