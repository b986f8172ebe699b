#include "AudioTestSignals.h"

#include "ZodozorEro/Core/Audio/AudioChunker.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Core/Audio/EnergyVAD.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include "System/Concurrency/BlockingRun.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ZodozorEro;
using namespace AudioTestSignals;

namespace {

// A detector that answers with fixed decisions, to test what the base class makes of them.
class ScriptedVAD : public VoiceActivityDetector {
public:
    ScriptedVAD(std::int64_t frameLength, std::vector<bool> decisions)
        : VoiceActivityDetector(16'000, frameLength, 0)
        , decisions_(std::move(decisions)) {}
    std::vector<bool> voiceActivity(std::span<const float>) const override { return decisions_; }

private:
    std::vector<bool> decisions_;
};

// Frames of the default detector (0.1 s) whose energy is `level` each.
std::vector<float> framesAt(const std::vector<float>& levels) {
    std::vector<float> samples;
    for (float level : levels) {
        samples.insert(samples.end(), 1'600, level);
    }
    return samples;
}

} // namespace

TEST(EnergyVAD, DecidesPerFrameByEnergyStrictlyAboveTheThreshold) {
    const EnergyVAD vad;
    EXPECT_EQ(vad.voiceActivity(std::vector<float>(16'000, 0.5f)).size(), 10u);
    EXPECT_EQ(vad.voiceActivity(std::vector<float>(16'001, 0.5f)).size(), 11u);
    EXPECT_TRUE(vad.voiceActivity({}).empty());
    EXPECT_TRUE(vad.calculateActiveChunks({}).empty());

    // A constant signal's RMS is its level: equal to the threshold is silent, above it voiced.
    const auto decisions = vad.voiceActivity(framesAt({0.02f, 0.0201f, 0.0f, -0.5f, 0.019f}));
    EXPECT_EQ(decisions, (std::vector<bool>{false, true, false, true, false}));
    std::vector<float> withNaN(1'600, std::nanf(""));
    EXPECT_EQ(vad.voiceActivity(withNaN), std::vector<bool>{false});

    // The last, single-sample frame is measured on its own.
    std::vector<float> tail(16'001, 0.0f);
    tail.back() = 0.5f;
    EXPECT_EQ(vad.voiceActivity(tail).back(), true);
}

TEST(EnergyVAD, OverlapWidensEachEnergyWindowTowardLaterSamples) {
    // 4000 samples: frame 0 quiet, frame 1 quiet, a loud stretch at 3200 ... 3999.
    std::vector<float> samples(4'000, 0.0f);
    std::fill(samples.begin() + 3'200, samples.end(), 1.0f);
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(samples, 3, 1'600, 0, 0.02f),
              (std::vector<bool>{false, false, true}));
    // With 1600 samples of overlap frame 1 reaches into the loud stretch; frame 0 still does not.
    EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(samples, 3, 1'600, 1'600, 0.02f),
              (std::vector<bool>{false, true, true}));
    const EnergyVAD overlapping(16'000, 1'600, 1'600, 0.02f);
    EXPECT_EQ(overlapping.voiceActivity(samples), (std::vector<bool>{false, true, true}));
    // A frame starting beyond the samples is refused, not read.
    EXPECT_THROW(AudioProcessor::calculateVoiceActivityInChunks(samples, 4, 1'600, 0, 0.02f),
                 std::invalid_argument);
    EXPECT_THROW(AudioProcessor::calculateVoiceActivityInChunks(samples, -1, 1'600, 0, 0.02f),
                 std::invalid_argument);
}

TEST(EnergyVAD, BuildsFromSecondsAndRefusesImpossibleFrames) {
    const auto vad = EnergyVAD::seconds(16'000, 0.1f, 0, 0.05f);
    EXPECT_EQ(vad.frameLengthSamples(), 1'600);
    EXPECT_EQ(vad.frameOverlapSamples(), 0);
    EXPECT_EQ(vad.energyThreshold(), 0.05f);
    EXPECT_EQ(EnergyVAD::seconds(16'000, 0.0333f, 0.01f, 0.02f).frameLengthSamples(), 532);
    EXPECT_THROW(EnergyVAD::seconds(16'000, 0, 0, 0.02f), std::invalid_argument);
    EXPECT_THROW(EnergyVAD::seconds(16'000, 0.1f, -0.1f, 0.02f), std::invalid_argument);
    EXPECT_THROW(EnergyVAD::seconds(16'000, std::numeric_limits<float>::infinity(), 0, 0.02f),
                 std::invalid_argument);
    EXPECT_THROW(EnergyVAD(16'000, 0, 0, 0.02f), std::invalid_argument);
    EXPECT_THROW(EnergyVAD(0, 1'600, 0, 0.02f), std::invalid_argument);
}

TEST(VoiceActivityDetector, TurnsDecisionsIntoSpansSecondsAndSilences) {
    const ScriptedVAD scripted(1'600, {false, true, true, false, true});
    EXPECT_EQ(scripted.calculateActiveChunks(std::vector<float>(7'000)),
              (std::vector<SampleSpan>{{1'600, 4'800}, {6'400, 7'000}}));
    const EnergyVAD vad;
    EXPECT_EQ(vad.voiceActivityIndexToSeconds(10), 1.0f);
    EXPECT_EQ(vad.voiceActivityIndexToAudioSampleIndex(10), 16'000);

    struct Case {
        std::vector<bool> decisions;
        std::optional<SampleSpan> longest;
    };
    const std::vector<Case> cases = {
        {{}, std::nullopt},
        {{true, true, true}, std::nullopt},
        {{false, false, false, false}, SampleSpan{0, 4}},
        {{true, false, false, true, false, false}, SampleSpan{1, 3}},
        {{false, true, false, false, false, true, false, false}, SampleSpan{2, 5}},
        {{true, false}, SampleSpan{1, 2}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VoiceActivityDetector::findLongestSilence(c.decisions), c.longest);
    }
}

TEST(VoiceActivityDetector, DecidesInATaskAsItDoesDirectly) {
    const EnergyVAD vad;
    const auto signal = bursts({{0.5, 0}, {1.0, 0.3}, {0.7, 0}});
    EXPECT_EQ(System::Concurrency::blockingRun(vad.voiceActivityAsync(signal)), vad.voiceActivity(signal));
    EXPECT_TRUE(System::Concurrency::blockingRun(vad.voiceActivityAsync({})).empty());
}

TEST(VoiceActivityDetector, FindsTheSpokenStretchesOfToneBursts) {
    const auto signal = bursts({{0.5, 0}, {1.0, 0.3}, {0.7, 0}, {0.4, 0.3}, {0.3, 0}});
    EXPECT_EQ(AudioProcessor::calculateNonSilentChunks(signal),
              (std::vector<SampleSpan>{{8'000, 24'000}, {35'200, 41'600}}));
}

// ---- Chunking ----

namespace {

std::vector<SampleSpan> spans(const std::vector<AudioChunk>& chunks) {
    std::vector<SampleSpan> result;
    for (const auto& chunk : chunks) {
        result.push_back(
            {chunk.seekOffsetIndex, chunk.seekOffsetIndex + std::int64_t(chunk.audioSamples.size())});
    }
    return result;
}

std::string chunkerFailure(const VADAudioChunker& chunker, const std::vector<float>& audio,
                           std::int64_t maxLength,
                           std::optional<std::vector<SampleSpan>> clips = std::nullopt) {
    try {
        chunker.chunkAll(audio, maxLength, clips);
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), WhisperError::Kind::audioProcessingFailed);
        return error.message();
    }
    return "no error";
}

} // namespace

TEST(VADAudioChunker, KeepsShortAudioWhole) {
    const VADAudioChunker chunker;
    const auto audio = sine(440, 0.5, 16'000, 300'000);
    const auto chunks = chunker.chunkAll(audio, 480'000, std::vector<SampleSpan>{{100'000, 200'000}});
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].seekOffsetIndex, 0);
    EXPECT_EQ(chunks[0].audioSamples, audio);
    EXPECT_EQ(spans(chunker.chunkAll({}, 480'000)), (std::vector<SampleSpan>{{0, 0}}));
}

TEST(VADAudioChunker, CutsAudioWithoutSilenceAtFullWindows) {
    const VADAudioChunker chunker;
    EXPECT_EQ(spans(chunker.chunkAll(sine(440, 0.5, 16'000, 1'000'000), 480'000)),
              (std::vector<SampleSpan>{{0, 480'000}, {480'000, 960'000}, {960'000, 1'000'000}}));
    // Ten thousand samples after two full windows are short, but they are audio: a piece of their own.
    EXPECT_EQ(spans(chunker.chunkAll(sine(440, 0.5, 16'000, 970'000), 480'000)),
              (std::vector<SampleSpan>{{0, 480'000}, {480'000, 960'000}, {960'000, 970'000}}));
}

// 28.92 s of speech, a 0.6 s pause, and a last word of 10,880 samples at peak 0.66: 30.2 s in all. The only
// cut falls in the pause, exactly one second before the end; the word after it must still be in a piece.
TEST(VADAudioChunker, PutsTheWordAfterTheLastCutIntoAPiece) {
    const auto audio = bursts({{28.92, 0.3}, {0.6, 0}, {0.68, 0.66}});
    ASSERT_EQ(audio.size(), 483'200u);
    const auto chunks = VADAudioChunker().chunkAll(audio, 480'000);
    EXPECT_EQ(spans(chunks), (std::vector<SampleSpan>{{0, 467'200}, {467'200, 483'200}}));
    ASSERT_FALSE(chunks.empty());
    EXPECT_NEAR(*std::max_element(chunks.back().audioSamples.begin(), chunks.back().audioSamples.end()), 0.66,
                1e-3);
}

// Whatever the audio and the window, the pieces follow each other from the first sample to the last.
TEST(VADAudioChunker, EverySampleIsInExactlyOnePiece) {
    struct Case {
        const char* name;
        std::vector<float> audio;
        std::int64_t maxChunkLength;
    };
    const std::vector<Case> cases = {
        {"steady tone, 2.02 windows", sine(440, 0.5, 16'000, 970'000), 480'000},
        {"steady tone, tail of one sample", sine(440, 0.5, 16'000, 960'001), 480'000},
        {"speech with pauses",
         bursts({{5, 0.3}, {2, 0}, {13, 0.3}, {0.3, 0}, {3.7, 0.3}, {0.8, 0}, {5.2, 0.3}, {10, 0.3}}),
         480'000},
        {"silence", std::vector<float>(1'000'000, 0.0f), 480'000},
        {"short windows over pauses", bursts({{1.3, 0.3}, {0.4, 0}, {2.1, 0.3}, {0.2, 0}, {0.9, 0.3}}),
         20'000},
        {"windows just above the padding", sine(440, 0.5, 16'000, 100'003), 16'001},
    };
    for (const auto& c : cases) {
        const auto chunks = VADAudioChunker().chunkAll(c.audio, c.maxChunkLength);
        std::int64_t expected = 0;
        for (const auto& chunk : chunks) {
            ASSERT_EQ(chunk.seekOffsetIndex, expected) << c.name;
            EXPECT_FALSE(chunk.audioSamples.empty()) << c.name;
            EXPECT_LE(std::int64_t(chunk.audioSamples.size()), c.maxChunkLength) << c.name;
            EXPECT_TRUE(std::equal(chunk.audioSamples.begin(), chunk.audioSamples.end(),
                                   c.audio.begin() + chunk.seekOffsetIndex))
                << c.name;
            expected += std::int64_t(chunk.audioSamples.size());
        }
        EXPECT_EQ(expected, std::int64_t(c.audio.size())) << c.name;
    }
}

TEST(VADAudioChunker, CutsAtTheMiddleOfTheLongestSilenceInTheSecondHalf) {
    const VADAudioChunker chunker;
    // A silence in the first half is never used; of the two in the second half the longer one wins.
    const auto audio =
        bursts({{5, 0.3}, {2, 0}, {13, 0.3}, {0.3, 0}, {3.7, 0.3}, {0.8, 0}, {5.2, 0.3}, {10, 0.3}});
    // Window [0, 480000): its second half starts at 240000 (15 s); the 0.8 s silence runs from 24 s to 24.8
    // s, frames 90 ... 97 of the second half, middle frame 94.
    const auto chunks = chunker.chunkAll(audio, 480'000);
    ASSERT_GE(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].seekOffsetIndex, 0);
    EXPECT_EQ(chunks[0].audioSamples.size(), std::size_t(240'000 + 94 * 1'600));
    EXPECT_EQ(chunks[1].seekOffsetIndex, 240'000 + 94 * 1'600);
    // The pieces follow each other, copy the audio and none is longer than the window.
    std::int64_t expected = 0;
    for (const auto& chunk : chunks) {
        EXPECT_EQ(chunk.seekOffsetIndex, expected);
        EXPECT_LE(chunk.audioSamples.size(), 480'000u);
        EXPECT_TRUE(std::equal(chunk.audioSamples.begin(), chunk.audioSamples.end(),
                               audio.begin() + chunk.seekOffsetIndex));
        expected += std::int64_t(chunk.audioSamples.size());
    }
    EXPECT_EQ(expected, std::int64_t(audio.size()));

    // Silent frames 50 ... 59 of the second half and no other silence: cut at the middle frame, 55.
    std::vector<float> loud = sine(440, 0.5, 16'000, 600'000);
    std::fill(loud.begin() + 240'000 + 50 * 1'600, loud.begin() + 240'000 + 60 * 1'600, 0.0f);
    EXPECT_EQ(chunker.chunkAll(loud, 480'000)[0].audioSamples.size(), std::size_t(240'000 + 55 * 1'600));
    // A second half that is silent throughout is cut at its middle frame.
    std::vector<float> halfSilent = sine(440, 0.5, 16'000, 600'000);
    std::fill(halfSilent.begin() + 240'000, halfSilent.begin() + 480'000, 0.0f);
    EXPECT_EQ(chunker.chunkAll(halfSilent, 480'000)[0].audioSamples.size(),
              std::size_t(240'000 + 75 * 1'600));
}

TEST(VADAudioChunker, FollowsClipsAndRefusesWhatCannotBeCut) {
    const VADAudioChunker chunker;
    const auto audio = sine(440, 0.5, 16'000, 1'000'000);
    EXPECT_EQ(spans(chunker.chunkAll(audio, 480'000,
                                     std::vector<SampleSpan>{{16'000, 40'000}, {64'000, 1'000'000}})),
              (std::vector<SampleSpan>{{16'000, 40'000}, {64'000, 544'000}, {544'000, 1'000'000}}));
    // A clip no longer than the padding that starts outside the audio gives nothing.
    EXPECT_TRUE(chunker.chunkAll(audio, 480'000, std::vector<SampleSpan>{{2'000'000, 2'010'000}}).empty());
    EXPECT_EQ(chunkerFailure(chunker, audio, 480'000, std::vector<SampleSpan>{{1'000'000, 1'100'000}}),
              "startIndex is outside the buffer size");
    EXPECT_EQ(chunkerFailure(chunker, audio, 480'000, std::vector<SampleSpan>{{-50'000, 100'000}}),
              "startIndex is outside the buffer size");
    // A clip reaching past the audio ends with it: no piece reads beyond the samples.
    EXPECT_EQ(spans(chunker.chunkAll(audio, 480'000, std::vector<SampleSpan>{{600'000, 5'000'000}})),
              (std::vector<SampleSpan>{{600'000, 1'000'000}}));
    // Windows no longer than the padding could stop short of the end and lose the rest.
    EXPECT_NE(chunkerFailure(chunker, audio, 16'000).find("must be longer than the window padding"),
              std::string::npos);
    EXPECT_NE(chunkerFailure(chunker, audio, 0), "no error");
    EXPECT_NE(chunkerFailure(chunker, audio, -1), "no error");
    EXPECT_THROW(VADAudioChunker(-1), std::invalid_argument);
}
