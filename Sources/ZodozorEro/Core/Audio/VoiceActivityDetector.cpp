#include "ZodozorEro/Core/Audio/VoiceActivityDetector.h"

#include <algorithm>
#include <stdexcept>

namespace ZodozorEro {

VoiceActivityDetector::VoiceActivityDetector(std::int64_t sampleRate, std::int64_t frameLengthSamples,
                                             std::int64_t frameOverlapSamples)
    : sampleRate_(sampleRate)
    , frameLengthSamples_(frameLengthSamples)
    , frameOverlapSamples_(frameOverlapSamples) {
    if (sampleRate <= 0 || frameLengthSamples <= 0 || frameOverlapSamples < 0) {
        throw std::invalid_argument(
            "A voice activity detector needs a positive sample rate and frame length and "
            "an overlap of at least 0 (got " +
            std::to_string(sampleRate) + ", " + std::to_string(frameLengthSamples) + ", " +
            std::to_string(frameOverlapSamples) + ").");
    }
}

System::Concurrency::Task<std::vector<bool>>
VoiceActivityDetector::voiceActivityAsync(std::vector<float> samples) const {
    co_return voiceActivity(samples);
}

std::vector<SampleSpan> VoiceActivityDetector::calculateActiveChunks(std::span<const float> samples) const {
    const std::vector<bool> voiced = voiceActivity(samples);
    const auto count = std::int64_t(samples.size());
    std::vector<SampleSpan> spans;
    bool previousVoiced = false;
    for (std::size_t i = 0; i < voiced.size(); ++i) {
        if (voiced[i]) {
            const std::int64_t start = std::int64_t(i) * frameLengthSamples_;
            const std::int64_t end = std::min(count, start + frameLengthSamples_);
            if (previousVoiced) {
                spans.back().endIndex = end;
            } else {
                spans.push_back({start, end});
            }
        }
        previousVoiced = voiced[i];
    }
    return spans;
}

std::int64_t VoiceActivityDetector::voiceActivityIndexToAudioSampleIndex(std::int64_t index) const {
    return index * frameLengthSamples_;
}

float VoiceActivityDetector::voiceActivityIndexToSeconds(std::int64_t index) const {
    return float(index * frameLengthSamples_) / float(sampleRate_);
}

std::optional<SampleSpan> VoiceActivityDetector::findLongestSilence(const std::vector<bool>& voiceActivity) {
    const auto count = std::int64_t(voiceActivity.size());
    std::optional<SampleSpan> best;
    std::int64_t p = 0;
    while (p < count) {
        if (voiceActivity[std::size_t(p)]) {
            ++p;
            continue;
        }
        std::int64_t q = p;
        while (q < count && !voiceActivity[std::size_t(q)]) {
            ++q;
        }
        if (!best || q - p > best->endIndex - best->startIndex) {
            best = SampleSpan{p, q};
        }
        p = q;
    }
    return best;
}

} // namespace ZodozorEro
