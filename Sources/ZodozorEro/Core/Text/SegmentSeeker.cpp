#include "ZodozorEro/Core/Text/SegmentSeeker.h"

#include <algorithm>

namespace ZodozorEro {

namespace {

// The text of a run of tokens: ordinary tokens only when special ones are to be skipped.
std::string segmentText(const std::vector<int>& tokens, const DecodingOptions& options,
                        const WhisperTokenizer& tokenizer) {
    if (!options.skipSpecialTokens) {
        return tokenizer.decode(tokens);
    }
    const int specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;
    std::vector<int> text;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(text),
                 [&](int token) { return token < specialTokenBegin; });
    return tokenizer.decode(text);
}

} // namespace

SeekPointAndSegments SegmentSeeker::findSeekPointAndSegments(const DecodingResult& decodingResult,
                                                             const DecodingOptions& options,
                                                             int allSegmentsCount, std::int64_t currentSeek,
                                                             std::int64_t segmentSize, int sampleRate,
                                                             int timeToken, int,
                                                             const WhisperTokenizer& tokenizer) const {
    if (options.noSpeechThreshold && decodingResult.noSpeechProb > *options.noSpeechThreshold &&
        !(options.logProbThreshold && decodingResult.avgLogProb > *options.logProbThreshold)) {
        return {currentSeek + segmentSize, std::nullopt};
    }

    const float timeOffset = static_cast<float>(currentSeek) / static_cast<float>(sampleRate);
    const std::vector<int>& tokens = decodingResult.tokens;
    const auto isTimestamp = [&](std::size_t i) { return tokens[i] >= timeToken; };
    const auto secondsOf = [&](int token) { return static_cast<float>(token - timeToken) * 0.02f; };
    const auto makeSegment = [&](std::size_t begin, std::size_t end, float start, float endTime, int id) {
        const std::vector<int> slice(tokens.begin() + static_cast<long>(begin),
                                     tokens.begin() + static_cast<long>(end));
        const auto& logProbs = decodingResult.tokenLogProbs;
        const std::size_t logProbEnd = std::min(end, logProbs.size());
        return TranscriptionSegment{
            .id = id,
            .seek = currentSeek,
            .start = start,
            .end = endTime,
            .text = segmentText(slice, options, tokenizer),
            .tokens = slice,
            .tokenLogProbs = std::vector<std::map<int, float>>(
                logProbs.begin() + static_cast<long>(std::min(begin, logProbEnd)),
                logProbs.begin() + static_cast<long>(logProbEnd)),
            .temperature = decodingResult.temperature,
            .avgLogprob = decodingResult.avgLogProb,
            .compressionRatio = decodingResult.compressionRatio,
            .noSpeechProb = decodingResult.noSpeechProb,
            .words = std::nullopt,
        };
    };

    const std::size_t count = tokens.size();
    bool singleTimestampEnding = false;
    bool noTimestampEnding = false;
    if (count >= 3) {
        const bool a = isTimestamp(count - 3);
        const bool b = isTimestamp(count - 2);
        const bool c = isTimestamp(count - 1);
        singleTimestampEnding = !a && b && !c;
        noTimestampEnding = !a && !b && !c;
    }
    std::vector<std::size_t> sliceEnds;
    for (std::size_t i = 1; i < count; ++i) {
        if (isTimestamp(i) && isTimestamp(i - 1)) {
            sliceEnds.push_back(i);
        }
    }

    std::int64_t seek = 0;
    std::vector<TranscriptionSegment> segments;
    if (sliceEnds.empty()) {
        float duration = static_cast<float>(segmentSize) / static_cast<float>(sampleRate);
        for (std::size_t i = count; i-- > 0;) {
            if (tokens[i] > timeToken) {
                duration = secondsOf(tokens[i]);
                break;
            }
        }
        segments.push_back(makeSegment(0, count, timeOffset, timeOffset + duration, allSegmentsCount));
        seek = currentSeek + segmentSize;
    } else {
        if (singleTimestampEnding) {
            std::size_t lastTimestamp = count;
            while (lastTimestamp-- > 0 && !isTimestamp(lastTimestamp)) {
            }
            sliceEnds.push_back(lastTimestamp + 1);
        } else if (noTimestampEnding) {
            sliceEnds.push_back(count);
        }
        std::size_t start = 0;
        for (const std::size_t end : sliceEnds) {
            std::optional<int> first;
            int last = timeToken;
            for (std::size_t i = start; i < end; ++i) {
                if (isTimestamp(i)) {
                    first = first.value_or(tokens[i]);
                    last = tokens[i];
                }
            }
            const float segmentStart = timeOffset + secondsOf(first.value_or(timeToken));
            segments.push_back(makeSegment(start, end, segmentStart, timeOffset + secondsOf(last),
                                           allSegmentsCount + static_cast<int>(segments.size())));
            start = end;
        }
        if (noTimestampEnding) {
            seek = currentSeek + segmentSize;
        } else {
            const int seekToken = singleTimestampEnding ? tokens[start - 1] : tokens[start];
            seek = currentSeek + static_cast<std::int64_t>(static_cast<float>(seekToken - timeToken) * 0.02f *
                                                           static_cast<float>(sampleRate));
        }
    }
    // A window whose last timestamp is 0.00 (such as a lone pair at the start) would be decoded again and
    // again from the same place: it advances by its whole length instead.
    if (seek <= currentSeek) {
        seek = currentSeek + segmentSize;
    }
    return {seek, std::move(segments)};
}

} // namespace ZodozorEro
