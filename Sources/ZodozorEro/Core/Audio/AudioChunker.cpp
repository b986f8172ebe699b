#include "ZodozorEro/Core/Audio/AudioChunker.h"

#include "ZodozorEro/Core/Audio/AudioLog.h"
#include "ZodozorEro/Core/Audio/EnergyVAD.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace ZodozorEro {

namespace {
std::string seconds(std::int64_t sampleIndex) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", double(float(sampleIndex) / 16'000.0f));
    return text;
}
} // namespace

VADAudioChunker::VADAudioChunker(std::int64_t windowPadding, std::shared_ptr<const VoiceActivityDetector> vad)
    : windowPadding_(windowPadding)
    , vad_(vad ? std::move(vad) : std::make_shared<EnergyVAD>()) {
    if (windowPadding < 0) {
        throw std::invalid_argument("The window padding of a chunker can't be negative.");
    }
}

std::vector<AudioChunk>
VADAudioChunker::chunkAll(const std::vector<float>& audioArray, std::int64_t maxChunkLength,
                          const std::optional<std::vector<SampleSpan>>& seekClips) const {
    const auto count = std::int64_t(audioArray.size());
    if (maxChunkLength >= count) {
        return {AudioChunk{0, audioArray}};
    }
    // A window no longer than the padding can end with a cut that makes no progress, and the rest of the
    // audio would be lost.
    if (maxChunkLength <= windowPadding_ || maxChunkLength <= 0) {
        throw WhisperError::audioProcessingFailed("The longest chunk (" + std::to_string(maxChunkLength) +
                                                  " samples) must be longer than the window padding (" +
                                                  std::to_string(windowPadding_) + " samples)");
    }
    const std::vector<SampleSpan> clips = seekClips ? *seekClips : std::vector<SampleSpan>{{0, count}};
    std::vector<AudioChunk> chunks;
    for (const SampleSpan& clip : clips) {
        std::int64_t seek = clip.startIndex;
        // A clip that reaches past the audio ends with it.
        const std::int64_t clipEnd = std::min(clip.endIndex, count);
        if ((seek < clip.endIndex - windowPadding_ && (seek < 0 || seek >= count)) ||
            (seek < 0 && seek < clipEnd)) {
            throw WhisperError::audioProcessingFailed("startIndex is outside the buffer size");
        }
        // Every sample of the clip goes into a piece, the short stretch after the last cut too: it may hold
        // the last word.
        while (seek < clipEnd) {
            const std::int64_t windowEnd = seek + maxChunkLength;
            std::int64_t cut =
                windowEnd < clipEnd ? splitOnMiddleOfLongestSilence(audioArray, seek, windowEnd) : clipEnd;
            if (cut <= seek) {
                cut = std::min(windowEnd, clipEnd); // a one-sample window has no second half to search
            }
            audioLog().debug("Found chunk from {} to {}", System::Log::Public(seconds(seek)),
                             System::Log::Public(seconds(cut)));
            chunks.push_back(
                AudioChunk{seek, std::vector<float>(audioArray.begin() + seek, audioArray.begin() + cut)});
            seek = cut;
        }
    }
    return chunks;
}

std::int64_t VADAudioChunker::splitOnMiddleOfLongestSilence(const std::vector<float>& audioArray,
                                                            std::int64_t startIndex,
                                                            std::int64_t endIndex) const {
    const std::int64_t middle = startIndex + (endIndex - startIndex) / 2;
    const std::vector<bool> voiced = vad_->voiceActivity(
        std::span<const float>(audioArray.data() + middle, std::size_t(endIndex - middle)));
    const auto silence = VoiceActivityDetector::findLongestSilence(voiced);
    if (!silence) {
        return endIndex;
    }
    const std::int64_t middleFrame = silence->startIndex + (silence->endIndex - silence->startIndex) / 2;
    return middle + middleFrame * vad_->frameLengthSamples();
}

} // namespace ZodozorEro
