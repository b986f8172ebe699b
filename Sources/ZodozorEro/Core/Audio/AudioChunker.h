#pragma once

#include "ZodozorEro/Core/Audio/VoiceActivityDetector.h"
#include "ZodozorEro/Core/TranscriptionOutcome.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace ZodozorEro {

// One piece of long audio: where it starts in the whole audio, and its samples.
struct AudioChunk {
    std::int64_t seekOffsetIndex = 0;
    std::vector<float> audioSamples;

    bool operator==(const AudioChunk&) const = default;
};

// Splits long audio into pieces the model can take.
class AudioChunking {
public:
    virtual ~AudioChunking() = default;

    // Pieces of at most `maxChunkLength` samples, in order. `seekClips` are the sample spans to cover (what
    // the decoding options' clip timestamps give); absent means the whole audio.
    virtual std::vector<AudioChunk>
    chunkAll(const std::vector<float>& audioArray, std::int64_t maxChunkLength,
             const std::optional<std::vector<SampleSpan>>& seekClips) const = 0;

    // Moves each piece's results from the piece's timeline onto the whole audio's (segment windows by the
    // piece's first sample, times and word times by its start in seconds, `seekTime` set to that start) and
    // returns them flattened in piece order. The results are changed in place. A failed piece is logged and
    // left out. Throws std::invalid_argument when there are fewer pieces than outcomes.
    std::vector<std::shared_ptr<TranscriptionResult>>
    updateSeekOffsetsForResults(const std::vector<TranscriptionOutcome>& chunkedResults,
                                const std::vector<AudioChunk>& audioChunks) const;
};

// Cuts each piece at the middle of the longest silence in the second half of its window, so no cut falls
// inside speech when a pause is there. Immutable; one chunker may serve several threads.
class VADAudioChunker : public AudioChunking {
public:
    // Without a detector, the default energy detector. Throws std::invalid_argument for a negative padding.
    explicit VADAudioChunker(std::int64_t windowPadding = 16'000,
                             std::shared_ptr<const VoiceActivityDetector> vad = nullptr);

    // A clip that starts outside the audio is an error only when it is longer than this; pieces must be
    // longer than it too.
    std::int64_t windowPadding() const { return windowPadding_; }
    const VoiceActivityDetector& vad() const { return *vad_; }

    // Audio no longer than `maxChunkLength` is one piece. Otherwise every sample of every clip is in exactly
    // one piece, the pieces in order. Throws WhisperError
    // (audioProcessingFailed) when `maxChunkLength` is not above the padding (no cut could make progress)
    // or a clip starts outside the samples; a clip that ends past the samples is cut off at their end.
    std::vector<AudioChunk>
    chunkAll(const std::vector<float>& audioArray, std::int64_t maxChunkLength,
             const std::optional<std::vector<SampleSpan>>& seekClips = std::nullopt) const override;

private:
    std::int64_t splitOnMiddleOfLongestSilence(const std::vector<float>& audioArray, std::int64_t startIndex,
                                               std::int64_t endIndex) const;

    std::int64_t windowPadding_;
    std::shared_ptr<const VoiceActivityDetector> vad_;
};

} // namespace ZodozorEro
