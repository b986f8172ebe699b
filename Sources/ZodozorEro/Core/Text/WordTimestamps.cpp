// The word-timing half of the segment seeker: aligning tokens to audio frames and turning the alignment into
// words placed in the segments.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "VuzadoDudi/FoundationExtensions.h"
#include "VuzadoDudi/Logging.h"
#include "VuzadoDudi/Unicode.h"
#include "ZodozorEro/Core/Text/SegmentSeeker.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace ZodozorEro {

namespace {

constexpr float secondsPerFrame = 0.02f;
constexpr float sampleRate = 16000;

// Whether `set` holds `text` as a run of its characters; the empty text is in no set.
bool containsText(std::string_view set, const std::string& text) {
    return !text.empty() && set.find(text) != std::string_view::npos;
}

bool isSentenceEnd(const std::string& word) {
    static const char* const marks[] = {".", "\u3002", "!", "\uff01", "?", "\uff1f"};
    return std::any_of(std::begin(marks), std::end(marks), [&](const char* mark) { return word == mark; });
}

WordTiming joined(const WordTiming& first, const WordTiming& second, const WordTiming& timesOf) {
    WordTiming word = timesOf;
    word.word = first.word + second.word;
    word.tokens = first.tokens;
    word.tokens.insert(word.tokens.end(), second.tokens.begin(), second.tokens.end());
    return word;
}

std::vector<int> textTokensOf(const std::vector<int>& tokens, int specialTokenBegin) {
    std::vector<int> text;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(text),
                 [&](int token) { return token < specialTokenBegin; });
    return text;
}

} // namespace

SegmentSeeker::AlignmentPath SegmentSeeker::dynamicTimeWarping(const System::ML::MultiArray& matrix) const {
    const auto& shape = matrix.shape();
    if (shape.size() != 2 || shape[0] < 1 || shape[1] < 1) {
        throw WhisperError::segmentingFailed("Invalid alignment matrix shape");
    }
    const auto n = static_cast<std::size_t>(shape[0]);
    const auto m = static_cast<std::size_t>(shape[1]);
    const std::size_t width = m + 1;
    std::vector<double> cost((n + 1) * width, std::numeric_limits<double>::infinity());
    std::vector<std::vector<int>> trace(n + 1, std::vector<int>(width, -1));
    cost[0] = 0;
    for (std::size_t j = 1; j <= m; ++j) {
        trace[0][j] = 2;
    }
    for (std::size_t i = 1; i <= n; ++i) {
        trace[i][0] = 1;
    }
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t j = 1; j <= m; ++j) {
            const double x = matrix.value((i - 1) * m + (j - 1));
            const CostAndTrace step = minCostAndTrace(cost[(i - 1) * width + j - 1],
                                                      cost[(i - 1) * width + j], cost[i * width + j - 1], x);
            cost[i * width + j] = step.cost;
            trace[i][j] = step.trace;
        }
    }
    return backtrace(trace);
}

SegmentSeeker::CostAndTrace SegmentSeeker::minCostAndTrace(double costDiagonal, double costUp,
                                                           double costLeft, double matrixValue) const {
    const double c0 = costDiagonal - matrixValue;
    const double c1 = costUp - matrixValue;
    const double c2 = costLeft - matrixValue;
    if (c0 < c1 && c0 < c2) {
        return {c0, 0};
    }
    if (c1 < c0 && c1 < c2) {
        return {c1, 1};
    }
    return {c2, 2};
}

SegmentSeeker::AlignmentPath
SegmentSeeker::backtrace(const std::vector<std::vector<int>>& traceMatrix) const {
    AlignmentPath path;
    if (traceMatrix.empty()) {
        return path;
    }
    long i = static_cast<long>(traceMatrix.size()) - 1;
    long j = static_cast<long>(traceMatrix[0].size()) - 1;
    while (i > 0 || j > 0) {
        path.textIndices.push_back(static_cast<int>(i - 1));
        path.timeIndices.push_back(static_cast<int>(j - 1));
        const auto& row = traceMatrix[static_cast<std::size_t>(i)];
        const int code = static_cast<std::size_t>(j) < row.size() ? row[static_cast<std::size_t>(j)] : -1;
        if (code == 0 && i > 0 && j > 0) {
            --i;
            --j;
        } else if (code == 1 && i > 0) {
            --i;
        } else if (code == 2 && j > 0) {
            --j;
        } else {
            // A code that leads off the matrix would never reach its first cell; the path ends here.
            break;
        }
    }
    std::reverse(path.textIndices.begin(), path.textIndices.end());
    std::reverse(path.timeIndices.begin(), path.timeIndices.end());
    return path;
}

std::vector<WordTiming> SegmentSeeker::findAlignment(const std::vector<int>& wordTokenIds,
                                                     const System::ML::MultiArray& alignmentWeights,
                                                     const std::vector<float>& tokenLogProbs,
                                                     const WhisperTokenizer& tokenizer,
                                                     const TranscriptionTimings*) const {
    const AlignmentPath path = dynamicTimeWarping(alignmentWeights);
    const WordTokens split = tokenizer.splitToWordTokens(wordTokenIds);
    if (split.words.size() < 2) {
        return {};
    }
    std::vector<float> jumpTimes;
    for (std::size_t k = 1; k < path.textIndices.size(); ++k) {
        if (path.textIndices[k] != path.textIndices[k - 1]) {
            jumpTimes.push_back(static_cast<float>(path.timeIndices[k]) * secondsPerFrame);
        }
    }
    std::vector<float> startTimes = {0};
    startTimes.insert(startTimes.end(), jumpTimes.begin(), jumpTimes.end());
    std::vector<float> endTimes = jumpTimes;
    endTimes.push_back(static_cast<float>(path.timeIndices.empty() ? 1500 : path.timeIndices.back()) *
                       secondsPerFrame);

    // Words stop where the path or the probabilities run out: a word without both has no timing to give.
    const std::size_t covered = std::min({startTimes.size(), endTimes.size(), tokenLogProbs.size()});
    std::vector<WordTiming> words;
    std::size_t p = 0;
    for (std::size_t w = 0; w < split.words.size() && w < split.wordTokens.size(); ++w) {
        const std::vector<int>& tokens = split.wordTokens[w];
        const std::size_t c = tokens.size();
        if (c == 0 || p + c > covered) {
            if (c > 0) {
                VuzadoDudi::Logging::debug("Word timings stop at word " + std::to_string(w) +
                                           ": the alignment covers " + std::to_string(covered) + " tokens");
                break;
            }
            continue;
        }
        const double meanLogProb = std::accumulate(tokenLogProbs.begin() + static_cast<long>(p),
                                                   tokenLogProbs.begin() + static_cast<long>(p + c), 0.0) /
                                   static_cast<double>(c);
        words.push_back(WordTiming{.word = split.words[w],
                                   .tokens = tokens,
                                   .start = startTimes[p],
                                   .end = endTimes[p + c - 1],
                                   .probability = static_cast<float>(std::exp(meanLogProb))});
        p += c;
    }
    return words;
}

std::optional<std::vector<TranscriptionSegment>> SegmentSeeker::addWordTimestamps(
    const std::vector<TranscriptionSegment>& segments, const System::ML::MultiArray& alignmentWeights,
    std::int64_t alignmentRowOffset, const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t,
    std::string_view prependPunctuations, std::string_view appendPunctuations, float lastSpeechTimestamp,
    const DecodingOptions&, const TranscriptionTimings&) const {
    std::vector<int> wordTokenIds;
    std::vector<std::int64_t> rows;
    std::vector<float> logProbs;
    for (const TranscriptionSegment& segment : segments) {
        for (std::size_t j = 0; j < segment.tokens.size(); ++j) {
            const int token = segment.tokens[j];
            // Rows count decoder positions from the prompt's first token; segments count from the start of
            // the transcript.
            rows.push_back(alignmentRowOffset + static_cast<std::int64_t>(wordTokenIds.size()));
            wordTokenIds.push_back(token);
            if (j < segment.tokenLogProbs.size()) {
                if (const auto it = segment.tokenLogProbs[j].find(token);
                    it != segment.tokenLogProbs[j].end()) {
                    logProbs.push_back(it->second);
                }
            }
        }
    }

    const auto& shape = alignmentWeights.shape();
    if (shape.empty()) {
        throw WhisperError::segmentingFailed("Invalid shape in alignmentWeights");
    }
    const int frames = shape.back();
    const std::size_t rowCount = frames > 0 ? alignmentWeights.count() / static_cast<std::size_t>(frames) : 0;
    System::ML::MultiArray weights({static_cast<int>(rows.size()), frames}, alignmentWeights.dataType());
    const std::size_t rowBytes =
        static_cast<std::size_t>(frames) * System::ML::elementSize(alignmentWeights.dataType());
    std::byte* target = weights.mutableBytes();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i] < 0 || static_cast<std::size_t>(rows[i]) >= rowCount) {
            throw WhisperError::segmentingFailed("The alignment weights have no row " +
                                                 std::to_string(rows[i]) + " for token " + std::to_string(i) +
                                                 " (they have " + std::to_string(rowCount) + ")");
        }
        std::memcpy(target + i * rowBytes,
                    alignmentWeights.bytes() + static_cast<std::size_t>(rows[i]) * rowBytes, rowBytes);
    }
    VuzadoDudi::Logging::debug("Alignment weights shape: " + System::ML::shapeDescription(weights.shape()));

    // Without tokens there is nothing to align; the segments still get their (empty) word lists.
    std::vector<WordTiming> alignment = wordTokenIds.empty()
                                            ? std::vector<WordTiming>{}
                                            : findAlignment(wordTokenIds, weights, logProbs, tokenizer);
    const DurationConstraints constraints = calculateWordDurationConstraints(alignment);
    alignment = truncateLongWordsAtSentenceBoundaries(alignment, constraints.max);
    if (!alignment.empty()) {
        alignment = mergePunctuations(alignment, prependPunctuations, appendPunctuations);
    }
    return updateSegmentsWithWordTimings(segments, alignment, seek, lastSpeechTimestamp, constraints.median,
                                         constraints.max, tokenizer);
}

SegmentSeeker::DurationConstraints
SegmentSeeker::calculateWordDurationConstraints(const std::vector<WordTiming>& alignment) const {
    std::vector<float> durations;
    for (const WordTiming& word : alignment) {
        if (word.end - word.start > 0) {
            durations.push_back(word.end - word.start);
        }
    }
    float median = 0;
    if (!durations.empty()) {
        std::sort(durations.begin(), durations.end());
        median = durations[durations.size() / 2];
    }
    median = std::min(median, 0.7f);
    return {median, 2 * median};
}

std::vector<WordTiming>
SegmentSeeker::truncateLongWordsAtSentenceBoundaries(const std::vector<WordTiming>& alignment,
                                                     float maxDuration) const {
    std::vector<WordTiming> words = alignment;
    if (words.size() < 2) {
        return words;
    }
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i].end - words[i].start <= maxDuration) {
            continue;
        }
        if (isSentenceEnd(words[i].word)) {
            words[i].end = words[i].start + maxDuration;
        } else if (isSentenceEnd(words[i - 1].word)) {
            words[i].start = words[i].end - maxDuration;
        }
    }
    return words;
}

std::vector<WordTiming> SegmentSeeker::mergePunctuations(const std::vector<WordTiming>& alignment,
                                                         std::string_view prepended,
                                                         std::string_view appended) const {
    if (alignment.empty()) {
        return {};
    }
    // Opening punctuation after a space joins the word that follows, taking its times. What it joins is the
    // word built so far, so runs of such marks all reach the word.
    std::vector<WordTiming> opened;
    if (!containsText(prepended, VuzadoDudi::Unicode::trimmingWhitespace(alignment[0].word))) {
        opened.push_back(alignment[0]);
    }
    for (std::size_t i = 1; i < alignment.size(); ++i) {
        const WordTiming& previous = alignment[i - 1];
        const WordTiming& current = alignment[i];
        const bool opens =
            !previous.word.empty() &&
            VuzadoDudi::Unicode::isWhitespace(VuzadoDudi::Unicode::firstCodePoint(previous.word)) &&
            containsText(prepended, VuzadoDudi::Unicode::trimmingWhitespace(previous.word));
        if (!opens) {
            opened.push_back(current);
        } else if (opened.empty()) {
            opened.push_back(joined(previous, current, current));
        } else {
            opened.back() = joined(opened.back(), current, current);
        }
    }
    if (opened.empty()) {
        return {};
    }

    // Closing punctuation joins the word before it unless that ends in a space, keeping that word's times.
    // Each mark joins the word built so far, so "Really?!" keeps its word and both marks.
    std::vector<WordTiming> closed = {opened[0]};
    for (std::size_t i = 1; i < opened.size(); ++i) {
        const WordTiming& current = opened[i];
        const WordTiming& previous = closed.back();
        if (!previous.word.ends_with(' ') &&
            containsText(appended, VuzadoDudi::Unicode::trimmingWhitespace(current.word))) {
            closed.back() = joined(previous, current, previous);
        } else {
            closed.push_back(current);
        }
    }

    std::vector<WordTiming> merged;
    for (WordTiming& word : closed) {
        if (!word.word.empty() && !containsText(appended, word.word) && !containsText(prepended, word.word)) {
            merged.push_back(std::move(word));
        }
    }
    return merged;
}

std::vector<TranscriptionSegment> SegmentSeeker::updateSegmentsWithWordTimings(
    std::vector<TranscriptionSegment> segments, const std::vector<WordTiming>& mergedAlignment,
    std::int64_t seek, float lastSpeechTimestamp, float constrainedMedianDuration, float maxDuration,
    const WhisperTokenizer& tokenizer) const {
    using VuzadoDudi::rounded;
    const int specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;
    const float seekTime = static_cast<float>(seek) / sampleRate;
    const float median = constrainedMedianDuration;
    const float max = maxDuration;
    float lastSpeech = lastSpeechTimestamp;
    std::size_t cursor = 0;
    std::optional<float> previousSegmentEnd;

    for (TranscriptionSegment& segment : segments) {
        const std::size_t textTokenCount = textTokensOf(segment.tokens, specialTokenBegin).size();
        std::size_t savedTokens = 0;
        std::vector<WordTiming> words;
        while (savedTokens < textTokenCount && cursor < mergedAlignment.size()) {
            const WordTiming& entry = mergedAlignment[cursor++];
            const std::vector<int> entryTokens = textTokensOf(entry.tokens, specialTokenBegin);
            if (entryTokens.empty()) {
                continue;
            }
            const std::string text =
                entryTokens.size() == entry.tokens.size() ? entry.word : tokenizer.decode(entryTokens);
            float start = rounded(seekTime + entry.start, 2);
            const float end = rounded(seekTime + entry.end, 2);
            if (end - start < 0.25f * median) {
                const std::optional<float> previousEnd =
                    words.empty() ? previousSegmentEnd : words.back().end;
                if (previousEnd && *previousEnd < start) {
                    start = rounded(start - std::min(0.5f * median, start - *previousEnd), 2);
                }
            }
            words.push_back(WordTiming{.word = text,
                                       .tokens = entryTokens,
                                       .start = start,
                                       .end = end,
                                       .probability = rounded(entry.probability, 2)});
            savedTokens += entryTokens.size();
        }

        if (words.empty()) {
            segment.words = std::vector<WordTiming>{};
            previousSegmentEnd = segment.end;
            continue;
        }

        // A first word right after a long pause tends to be stretched back into the silence.
        WordTiming& first = words[0];
        const bool longFirst =
            first.end - first.start > max || (words.size() >= 2 && words[1].end - first.start > 2 * max);
        if (first.end - lastSpeech > 4 * median && longFirst) {
            if (words.size() >= 2 && words[1].end - words[1].start > max) {
                const float boundary = std::max(0.5f * words[1].end, words[1].end - max);
                first.end = boundary;
                words[1].start = boundary;
            }
            first.start = std::max(lastSpeech, first.end - max);
        }

        if (segment.start < first.end && first.start < segment.start - 0.5f) {
            first.start = std::max(0.0f, std::min(segment.start, first.end - median));
        } else {
            segment.start = first.start;
        }

        WordTiming& last = words.back();
        if (last.start < segment.end && segment.end + 0.5f < last.end) {
            last.end = std::max(segment.end, last.start + median);
        } else {
            segment.end = last.end;
        }

        lastSpeech = segment.end;
        previousSegmentEnd = segment.end;
        segment.words = std::move(words);
    }
    return segments;
}

} // namespace ZodozorEro
