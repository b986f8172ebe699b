#pragma once

#include "System/Concurrency/Task.h"
#include "TessarinCore/Domain/Audio.h"
#include "TessarinCore/Domain/Transcription.h"

namespace TessarinCore {

// One engine session for one dictation: append is called once per chunk in order while the key is held,
// then exactly one of finish or cancel. Engines that work on the whole clip ignore append and cancel.
class TranscriptionSession {
public:
    virtual ~TranscriptionSession() = default;

    // Never throws.
    virtual System::Concurrency::Task<void> append(AudioChunk chunk) = 0;
    // Transcribes the (trimmed) clip; throws when transcription fails.
    virtual System::Concurrency::Task<Transcript> finish(AudioClip clip) = 0;
    // Never throws.
    virtual System::Concurrency::Task<void> cancel() = 0;
};

} // namespace TessarinCore
