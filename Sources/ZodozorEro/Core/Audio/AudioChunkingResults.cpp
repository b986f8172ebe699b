#include <stdexcept>
#include <string>

#include "VuzadoDudi/Logging.h"
#include "ZodozorEro/Core/Audio/AudioChunker.h"
#include "ZodozorEro/Utilities/TranscriptionUtilities.h"

namespace ZodozorEro {

std::vector<std::shared_ptr<TranscriptionResult>>
AudioChunking::updateSeekOffsetsForResults(const std::vector<TranscriptionOutcome>& chunkedResults,
                                           const std::vector<AudioChunk>& audioChunks) const {
    if (audioChunks.size() < chunkedResults.size()) {
        throw std::invalid_argument("Cannot place the results of " + std::to_string(chunkedResults.size()) +
                                    " pieces with only " + std::to_string(audioChunks.size()) +
                                    " audio pieces");
    }
    std::vector<std::shared_ptr<TranscriptionResult>> merged;
    for (std::size_t i = 0; i < chunkedResults.size(); ++i) {
        if (!chunkedResults[i].succeeded()) {
            VuzadoDudi::Logging::debug("Error transcribing chunk " + std::to_string(i) + ": " +
                                       System::Log::errorDescription(chunkedResults[i].error));
            continue;
        }
        // The sample offset stays an integer: a float holds sample indexes exactly only up to 2^24 (17
        // minutes).
        const std::int64_t sampleOffset = audioChunks[i].seekOffsetIndex;
        for (const auto& result : chunkedResults[i].results) {
            if (!result) {
                continue;
            }
            std::vector<TranscriptionSegment> segments = result->segments();
            for (TranscriptionSegment& segment : segments) {
                segment = TranscriptionUtilities::updateSegmentTimings(segment, sampleOffset);
            }
            result->setSeekTime(TranscriptionUtilities::secondsOfSamples(sampleOffset));
            result->setSegments(std::move(segments));
            merged.push_back(result);
        }
    }
    return merged;
}

} // namespace ZodozorEro
