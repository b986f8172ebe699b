#pragma once

#include "FakeOperation.h"
#include "TessarinCore/Ports/AudioCapturing.h"

#include <optional>
#include <vector>

namespace TessarinCore::Fakes {

// A recorder whose audio the test speaks in chunks. stop() finishes the chunk stream and gives everything
// spoken since the start as one clip, unless the test scripts another clip.
class FakeAudioRecorder final : public AudioCapturing {
public:
    FakeOperation<void> preparing;
    FakeOperation<void> starting;
    FakeOperation<AudioClip> stopping;

    System::Concurrency::Task<void> prepare() override;
    System::Concurrency::Task<System::Concurrency::AsyncStream<AudioChunk>> start() override;
    System::Concurrency::Task<AudioClip> stop() override;

    bool isRecording() const { return chunks_.has_value(); }
    // Delivers a chunk to the recording; false (and nothing recorded) when not recording.
    bool speak(AudioChunk chunk);
    bool speak(std::vector<float> samples) { return speak(AudioChunk{std::move(samples)}); }

private:
    std::optional<System::Concurrency::AsyncStream<AudioChunk>::Continuation> chunks_;
    std::vector<float> recorded_;
};

} // namespace TessarinCore::Fakes
