#pragma once

#include "System/Concurrency/Task.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ZodozorEro {

// A half-open run [startIndex, endIndex) of samples or of frames.
struct SampleSpan {
    std::int64_t startIndex = 0;
    std::int64_t endIndex = 0;

    bool operator==(const SampleSpan&) const = default;
};

// Frame-based voice activity detection over 16 kHz mono samples: frame i starts at sample
// i x frameLengthSamples; its measure may reach frameOverlapSamples further. Concrete detectors decide per
// frame; this base turns decisions into sample spans, seconds and silences. Immutable, so one detector may
// serve any number of threads.
class VoiceActivityDetector {
public:
    // Throws std::invalid_argument unless the rate and frame length are positive and the overlap is not
    // negative.
    VoiceActivityDetector(std::int64_t sampleRate, std::int64_t frameLengthSamples,
                          std::int64_t frameOverlapSamples);
    virtual ~VoiceActivityDetector() = default;

    std::int64_t sampleRate() const { return sampleRate_; }
    std::int64_t frameLengthSamples() const { return frameLengthSamples_; }
    std::int64_t frameOverlapSamples() const { return frameOverlapSamples_; }

    // One decision per frame (the last frame may be short), true for a voiced frame.
    virtual std::vector<bool> voiceActivity(std::span<const float> samples) const = 0;
    // voiceActivity as a task, for callers inside one; it completes without suspending. The detector must
    // outlive the task.
    virtual System::Concurrency::Task<std::vector<bool>> voiceActivityAsync(std::vector<float> samples) const;

    // The runs of voiced frames as sample spans, in order; the last is clamped to the samples.
    std::vector<SampleSpan> calculateActiveChunks(std::span<const float> samples) const;
    std::int64_t voiceActivityIndexToAudioSampleIndex(std::int64_t index) const;
    float voiceActivityIndexToSeconds(std::int64_t index) const;
    // The longest run of silent frames as a frame span (the earliest of equal runs); nothing when no frame
    // is silent.
    static std::optional<SampleSpan> findLongestSilence(const std::vector<bool>& voiceActivity);

private:
    std::int64_t sampleRate_;
    std::int64_t frameLengthSamples_;
    std::int64_t frameOverlapSamples_;
};

} // namespace ZodozorEro
