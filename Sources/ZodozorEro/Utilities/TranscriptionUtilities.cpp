#include "ZodozorEro/Utilities/TranscriptionUtilities.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "ZodozorEro/Utilities/TextUtilities.h"

namespace ZodozorEro {

namespace {

constexpr float sampleRate = 16000;

TranscriptionSegment shifted(const TranscriptionSegment& segment, std::int64_t seekOffset, float seekTime) {
    TranscriptionSegment copy = segment;
    copy.seek += seekOffset;
    copy.start += seekTime;
    copy.end += seekTime;
    if (copy.words) {
        for (WordTiming& word : *copy.words) {
            word.start += seekTime;
            word.end += seekTime;
        }
    }
    return copy;
}

std::size_t commonPrefixLength(const std::vector<WordTiming>& words1, const std::vector<WordTiming>& words2) {
    const std::size_t count = std::min(words1.size(), words2.size());
    std::size_t length = 0;
    while (length < count && normalized(words1[length].word) == normalized(words2[length].word)) {
        ++length;
    }
    return length;
}

TranscriptionTimings mergedTimings(const std::vector<TranscriptionTimings>& all) {
    // Over no results every aggregate is 0, the starts and the audio length included.
    TranscriptionTimings merged;
    const auto minimum = [&](double TranscriptionTimings::*field) {
        double value = all.empty() ? 0 : std::numeric_limits<double>::infinity();
        for (const auto& timings : all) {
            value = std::min(value, timings.*field);
        }
        merged.*field = value;
    };
    const auto maximum = [&](double TranscriptionTimings::*field) {
        double value = 0;
        for (std::size_t i = 0; i < all.size(); ++i) {
            value = i == 0 ? all[i].*field : std::max(value, all[i].*field);
        }
        merged.*field = value;
    };
    const auto sum = [&](double TranscriptionTimings::*field) {
        double value = 0;
        for (const auto& timings : all) {
            value += timings.*field;
        }
        merged.*field = value;
    };
    using T = TranscriptionTimings;
    for (auto field : {&T::pipelineStart, &T::firstTokenTime}) {
        minimum(field);
    }
    for (auto field : {&T::modelLoading, &T::prewarmLoadTime, &T::encoderLoadTime, &T::decoderLoadTime,
                       &T::tokenizerLoadTime}) {
        maximum(field);
    }
    merged.encoderSpecializationTime = 0;
    merged.decoderSpecializationTime = 0;
    for (auto field : {&T::inputAudioSeconds,
                       &T::audioLoading,
                       &T::audioProcessing,
                       &T::logmels,
                       &T::encoding,
                       &T::decodingInit,
                       &T::decodingLoop,
                       &T::decodingPredictions,
                       &T::decodingFiltering,
                       &T::decodingSampling,
                       &T::decodingFallback,
                       &T::decodingWindowing,
                       &T::decodingKvCaching,
                       &T::decodingWordTimestamps,
                       &T::decodingNonPrediction,
                       &T::totalAudioProcessingRuns,
                       &T::totalLogmelRuns,
                       &T::totalEncodingRuns,
                       &T::totalDecodingLoops,
                       &T::totalKVUpdateRuns,
                       &T::totalTimestampAlignmentRuns,
                       &T::totalDecodingFallbacks,
                       &T::totalDecodingWindows,
                       &T::fullPipeline}) {
        sum(field);
    }
    // Runs that overlapped took no longer than from the first start to the last end; runs one after another
    // took no longer than their sum.
    if (!all.empty()) {
        double lastEnd = 0;
        for (std::size_t i = 0; i < all.size(); ++i) {
            const double end = all[i].pipelineStart + all[i].fullPipeline;
            lastEnd = i == 0 ? end : std::max(lastEnd, end);
        }
        merged.fullPipeline = std::min(lastEnd - merged.pipelineStart, merged.fullPipeline);
    }
    return merged;
}

} // namespace

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(const TranscriptionSegment& segment,
                                                                  float seekTime) {
    return shifted(segment, static_cast<std::int64_t>(seekTime * sampleRate), seekTime);
}

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(const TranscriptionSegment& segment,
                                                                  std::int64_t seekOffsetIndex) {
    return shifted(segment, seekOffsetIndex, secondsOfSamples(seekOffsetIndex));
}

float TranscriptionUtilities::secondsOfSamples(std::int64_t sampleIndex) {
    return static_cast<float>(static_cast<double>(sampleIndex) / sampleRate);
}

std::vector<std::string>
TranscriptionUtilities::formatSegments(const std::vector<TranscriptionSegment>& segments,
                                       bool withTimestamps) {
    std::vector<std::string> lines;
    lines.reserve(segments.size());
    for (const TranscriptionSegment& segment : segments) {
        if (!withTimestamps) {
            lines.push_back(segment.text);
            continue;
        }
        char span[128];
        std::snprintf(span, sizeof span, "[%.2f --> %.2f] ", static_cast<double>(segment.start),
                      static_cast<double>(segment.end));
        lines.push_back(span + segment.text);
    }
    return lines;
}

std::vector<WordTiming>
TranscriptionUtilities::findLongestCommonPrefix(const std::vector<WordTiming>& words1,
                                                const std::vector<WordTiming>& words2) {
    const auto length = static_cast<std::ptrdiff_t>(commonPrefixLength(words1, words2));
    return {words2.begin(), words2.begin() + length};
}

std::vector<WordTiming>
TranscriptionUtilities::findLongestDifferentSuffix(const std::vector<WordTiming>& words1,
                                                   const std::vector<WordTiming>& words2) {
    const auto length = static_cast<std::ptrdiff_t>(commonPrefixLength(words1, words2));
    return {words2.begin() + length, words2.end()};
}

std::shared_ptr<TranscriptionResult> TranscriptionUtilities::mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords) {
    std::string text;
    if (confirmedWords) {
        for (const WordTiming& word : *confirmedWords) {
            text += word.word;
        }
    } else {
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (i > 0) {
                text += ' ';
            }
            if (results[i]) {
                text += results[i]->text();
            }
        }
    }

    std::vector<TranscriptionSegment> segments;
    std::vector<TranscriptionTimings> timings;
    std::string language;
    int position = 0;
    for (const auto& result : results) {
        if (!result) {
            continue;
        }
        if (timings.empty()) {
            language = result->language();
        }
        std::vector<TranscriptionSegment> own = result->segments();
        for (std::size_t j = 0; j < own.size(); ++j) {
            own[j].id = position + static_cast<int>(j);
            segments.push_back(std::move(own[j]));
        }
        timings.push_back(result->timings());
        ++position;
    }
    if (timings.empty()) {
        language = "en";
    }
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), std::move(language),
                                                 mergedTimings(timings), std::nullopt);
}

} // namespace ZodozorEro
