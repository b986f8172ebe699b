#include "AudioTestSignals.h"

#include "System/Audio/AudioFileWriter.h"
#include "System/Concurrency/BlockingRun.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Core/Audio/EnergyVAD.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace ZodozorEro;
using namespace AudioTestSignals;
using System::Audio::AudioFileEncoding;
using System::Audio::writeAudioFile;
using System::Concurrency::blockingRun;
using System::FileTesting::TemporaryFolder;

namespace {

std::optional<IncrementalFileChunk> next(IncrementalFileStream& stream) {
    return blockingRun(stream.next());
}

// Takes every piece, signalling each, until the stream ends.
std::vector<AudioChunk> drain(IncrementalFileStream& stream) {
    std::vector<AudioChunk> pieces;
    while (auto piece = next(stream)) {
        pieces.push_back(std::move(piece->audioChunk));
        piece->completionSignal();
    }
    return pieces;
}

IncrementalFileStream load(const std::string& path, double sliceSeconds, std::int64_t maxBuffered,
                           std::int64_t maxChunkLength) {
    return AudioProcessor::loadFileIncrementally(path, ChannelMode::sumChannels(), sliceSeconds, maxBuffered,
                                                 maxChunkLength, std::make_shared<EnergyVAD>());
}

// About a minute of tone bursts of at most 3.75 s with pauses of different lengths, so that the second half
// of every 10 s window holds a pause. Written as 16 kHz mono float, so loading changes no sample.
std::vector<float> speechLike() {
    std::vector<Run> runs;
    for (int i = 0; i < 16; ++i) {
        runs.push_back({3.0 + 0.25 * (i % 4), 0.3});
        runs.push_back({0.2 + 0.1 * (i % 3), 0});
    }
    return bursts(runs);
}

} // namespace

TEST(IncrementalLoading, HandsOutTheWholeFileInOrderedPiecesCutAtPauses) {
    TemporaryFolder folder("incremental");
    const auto audio = speechLike();
    const auto path = (folder / "speech.wav").string();
    writeAudioFile(path, AudioFileEncoding::wavFloat32, 16'000, {audio});

    // Slices of 7 s and pieces of at most 10 s: pieces span slices and wait for more of the file.
    auto stream = load(path, 7, 2, 160'000);
    const auto pieces = drain(stream);
    ASSERT_GE(pieces.size(), 6u);
    std::int64_t expected = 0;
    for (const auto& piece : pieces) {
        EXPECT_EQ(piece.seekOffsetIndex, expected);
        EXPECT_LE(piece.audioSamples.size(), 160'000u);
        ASSERT_LE(piece.seekOffsetIndex + std::int64_t(piece.audioSamples.size()),
                  std::int64_t(audio.size()));
        EXPECT_TRUE(std::equal(piece.audioSamples.begin(), piece.audioSamples.end(),
                               audio.begin() + piece.seekOffsetIndex))
            << "piece at " << piece.seekOffsetIndex;
        expected += std::int64_t(piece.audioSamples.size());
    }
    EXPECT_EQ(expected, std::int64_t(audio.size()));
    // Cuts fall into pauses, never into a tone.
    const EnergyVAD vad;
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        const auto at = std::size_t(pieces[i].seekOffsetIndex);
        EXPECT_EQ(vad.voiceActivity(std::span<const float>(audio).subspan(at, 1'600)),
                  std::vector<bool>{false})
            << "cut at " << at;
    }
    EXPECT_EQ(stream.controller().activeChunks(), 0);
}

// The last word of a 30.2 s file lies after the last cut, within a second of the end: it is handed out too.
TEST(IncrementalLoading, HandsOutTheWordAfterTheLastCut) {
    TemporaryFolder folder("incremental-last-word");
    const auto audio = bursts({{28.92, 0.3}, {0.6, 0}, {0.68, 0.66}});
    const auto path = (folder / "speech.wav").string();
    writeAudioFile(path, AudioFileEncoding::wavFloat32, 16'000, {audio});
    for (double slice : {120.0, 7.0}) {
        auto stream = load(path, slice, 2, 480'000);
        const auto pieces = drain(stream);
        ASSERT_FALSE(pieces.empty()) << slice;
        std::vector<float> joined;
        for (const auto& piece : pieces) {
            EXPECT_EQ(piece.seekOffsetIndex, std::int64_t(joined.size())) << slice;
            joined.insert(joined.end(), piece.audioSamples.begin(), piece.audioSamples.end());
        }
        EXPECT_EQ(joined, audio) << slice;
    }
}

// Loading in slices gives the samples of loading the file whole: the channels of a 44.1 kHz stereo file whose
// balance changes are folded with the same gains, and the converter runs on across slices without a seam.
TEST(IncrementalLoading, GivesTheSamplesOfWholeFileLoading) {
    TemporaryFolder folder("incremental-whole");
    std::vector<AudioTestSignals::Run> leftRuns;
    std::vector<AudioTestSignals::Run> rightRuns;
    for (int i = 0; i < 9; ++i) {
        leftRuns.push_back({3.0 + 0.25 * (i % 4), 0.2 + 0.05 * (i % 3)});
        leftRuns.push_back({0.4, 0});
        rightRuns.push_back({3.0 + 0.25 * (i % 4), 0.6 - 0.1 * (i % 5)});
        rightRuns.push_back({0.4, 0});
    }
    const auto left = bursts(leftRuns, 44'100);
    auto right = bursts(rightRuns, 44'100);
    // The right channel is silent from 20 s on, so a block's gain depends on where the block starts.
    std::fill(right.begin() + 20 * 44'100, right.end(), 0.0f);
    const auto path = (folder / "stereo.wav").string();
    writeAudioFile(path, AudioFileEncoding::wavFloat32, 44'100, {left, right});

    const auto whole = AudioProcessor::loadAudioAsFloatArray(path);
    ASSERT_GT(whole.size(), 30u * 16'000);
    auto stream = load(path, 7, 2, 160'000);
    std::vector<float> joined;
    for (const auto& piece : drain(stream)) {
        ASSERT_EQ(piece.seekOffsetIndex, std::int64_t(joined.size()));
        joined.insert(joined.end(), piece.audioSamples.begin(), piece.audioSamples.end());
    }
    ASSERT_EQ(joined.size(), whole.size());
    float largest = 0;
    std::size_t at = 0;
    for (std::size_t i = 0; i < whole.size(); ++i) {
        if (std::abs(joined[i] - whole[i]) > largest) {
            largest = std::abs(joined[i] - whole[i]);
            at = i;
        }
    }
    EXPECT_LE(largest, 1e-6f) << "at sample " << at;
}

// Runs of noise (loud, voiced throughout) and of digital silence, back to back: (seconds, loud).
std::vector<float> noiseAndSilence(const std::vector<std::pair<double, bool>>& runs, double rate) {
    std::vector<float> samples;
    std::uint32_t seed = 12'345;
    for (const auto& [seconds, loud] : runs) {
        for (auto i = std::llround(seconds * rate); i > 0; --i) {
            seed = seed * 1'664'525u + 1'013'904'223u;
            samples.push_back(loud ? float(seed >> 8) / float(1 << 24) - 0.5f : 0.0f);
        }
    }
    return samples;
}

struct WholeCutCase {
    std::string name;
    std::vector<std::pair<double, bool>> runs;
    int rate;
    double sliceSeconds;
    std::int64_t maxChunkLength;
    friend void PrintTo(const WholeCutCase& param, std::ostream* out) { *out << param.name; }
};

class IncrementalCuts : public ::testing::TestWithParam<WholeCutCase> {};

// Where a piece ends must not depend on how much of the file had been read: the pieces handed out are those
// the chunker cuts from the whole file, also when a piece's window ends exactly where the samples read so far
// end.
TEST_P(IncrementalCuts, AreTheCutsOfTheWholeFile) {
    const auto& param = GetParam();
    TemporaryFolder folder("incremental-cuts");
    const auto path = (folder / "noise.wav").string();
    writeAudioFile(path, AudioFileEncoding::wavFloat32, param.rate,
                   {noiseAndSilence(param.runs, param.rate)});

    const auto whole = VADAudioChunker(16'000, std::make_shared<EnergyVAD>())
                           .chunkAll(AudioProcessor::loadAudioAsFloatArray(path), param.maxChunkLength);
    auto stream = load(path, param.sliceSeconds, 2, param.maxChunkLength);
    const auto pieces = drain(stream);
    std::vector<std::pair<std::int64_t, std::size_t>> expectedSpans;
    std::vector<std::pair<std::int64_t, std::size_t>> spans;
    for (const auto& piece : whole) {
        expectedSpans.emplace_back(piece.seekOffsetIndex, piece.audioSamples.size());
    }
    for (const auto& piece : pieces) {
        spans.emplace_back(piece.seekOffsetIndex, piece.audioSamples.size());
    }
    EXPECT_EQ(spans, expectedSpans);
    EXPECT_TRUE(pieces == whole) << "the pieces' samples differ";
}

// A 16 kHz file is read in blocks of 1,323,000 samples, whatever the slice length: the rows whose names say
// so have a window end exactly where the samples read so far end, with a pause in that window's second half.
INSTANTIATE_TEST_SUITE_P(
    Files, IncrementalCuts,
    ::testing::Values(
        // 1,100,000 samples of noise, 50,000 of silence, 850,000 of noise; the third window ends with the
        // first block.
        WholeCutCase{"ThirdWindowEndsWithTheFirstBlock",
                     {{68.75, true}, {3.125, false}, {53.125, true}},
                     16'000,
                     1,
                     441'000},
        WholeCutCase{
            "SecondWindowEndsWithTheFirstBlock", {{65, true}, {2, false}, {40, true}}, 16'000, 60, 661'500},
        WholeCutCase{"SixthWindowEndsWithTheSecondBlock",
                     {{153.125, true}, {2.5, false}, {25, true}},
                     16'000,
                     1,
                     441'000},
        WholeCutCase{"NoPause", {{125, true}}, 16'000, 1, 441'000},
        WholeCutCase{"PausesInSeveralWindows",
                     {{18.75, true}, {1.25, false}, {25, true}, {2.5, false}, {43.75, true}},
                     16'000,
                     3,
                     300'000},
        WholeCutCase{"SilenceAtTheEnd", {{56.25, true}, {6.25, false}}, 16'000, 2, 441'000},
        WholeCutCase{"ResampledInTheFacadesSlicesAndPieces",
                     {{112.5, true}, {3.125, false}, {31.25, true}},
                     44'100,
                     120,
                     480'000}),
    [](const auto& info) { return info.param.name; });

TEST(IncrementalLoading, ShortAndEmptyFiles) {
    TemporaryFolder folder("incremental-short");
    const auto shortPath = (folder / "short.flac").string();
    writeAudioFile(shortPath, AudioFileEncoding::flacInt16, 44'100, {sine(440, 0.5, 44'100, 44'100 * 3)});
    auto shortStream = load(shortPath, 120, 2, 480'000);
    const auto pieces = drain(shortStream);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].seekOffsetIndex, 0);
    EXPECT_NEAR(double(pieces[0].audioSamples.size()), 48'000, 2);
    EXPECT_NEAR(frequency(middle(pieces[0].audioSamples, 400), 16'000), 440, 1);

    const auto emptyPath = (folder / "empty.wav").string();
    writeAudioFile(emptyPath, AudioFileEncoding::wavInt16, 16'000, {std::vector<float>{}});
    auto emptyStream = load(emptyPath, 120, 2, 480'000);
    EXPECT_TRUE(drain(emptyStream).empty());
}

TEST(IncrementalLoading, HoldsTheReaderBackWhilePiecesWaitForTheConsumer) {
    TemporaryFolder folder("incremental-pressure");
    const auto path = (folder / "long.wav").string();
    // 40 s of steady tone: eight pieces of 5 s.
    writeAudioFile(path, AudioFileEncoding::wavFloat32, 16'000, {sine(440, 0.5, 16'000, 640'000)});
    auto stream = load(path, 3, 2, 80'000);

    // Nobody signals: the reader hands out two pieces and waits.
    stream.controller().waitUntilProducerWaits();
    EXPECT_EQ(stream.controller().activeChunks(), 2);
    auto first = next(stream);
    auto second = next(stream);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->audioChunk.seekOffsetIndex, 0);
    EXPECT_EQ(second->audioChunk.seekOffsetIndex, 80'000);

    // One signal lets exactly one more piece through.
    first->completionSignal();
    stream.controller().waitUntilProducerWaits();
    EXPECT_EQ(stream.controller().activeChunks(), 2);
    auto third = next(stream);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->audioChunk.seekOffsetIndex, 160'000);

    // Ending the stream while the reader waits stops it without an error and without more pieces.
    stream.cancel();
    EXPECT_FALSE(next(stream));
    EXPECT_TRUE(stream.controller().isTerminated());
}

TEST(IncrementalLoading, DestroyingTheStreamStopsTheReader) {
    TemporaryFolder folder("incremental-destroy");
    const auto path = (folder / "long.wav").string();
    writeAudioFile(path, AudioFileEncoding::wavFloat32, 16'000, {sine(440, 0.5, 16'000, 640'000)});
    std::function<void()> lateSignal;
    {
        // The reader waits for a slot when the stream goes: destruction wakes and joins it.
        auto stream = load(path, 3, 1, 80'000);
        auto piece = next(stream);
        ASSERT_TRUE(piece);
        stream.controller().waitUntilProducerWaits();
        lateSignal = piece->completionSignal;
    }
    // A signal may outlive its stream; calling it then is harmless.
    lateSignal();
}

TEST(IncrementalLoading, RefusesSettingsThatCannotWorkAndReportsUnreadableFiles) {
    TemporaryFolder folder("incremental-refused");
    const auto path = (folder / "tone.wav").string();
    writeAudioFile(path, AudioFileEncoding::wavInt16, 16'000, {sine(440, 0.5, 16'000, 16'000)});
    const auto missing = (folder / "missing.wav").string();
    struct Case {
        std::string path;
        double slice;
        std::int64_t buffered;
        std::int64_t maxChunk;
        std::string message;
    };
    const std::vector<Case> cases = {
        {path, 0, 2, 480'000, "Incremental chunk duration must be greater than 0"},
        {path, -1, 2, 480'000, "Incremental chunk duration must be greater than 0"},
        {path, std::nan(""), 2, 480'000, "Incremental chunk duration must be greater than 0"},
        {path, 120, 0, 480'000, "Incremental chunk buffer size must be greater than 0"},
        {path, 120, 2, 16'000,
         "Incremental chunks must be longer than one second (16000 samples), not 16000"},
        {missing, 120, 2, 480'000, "Audio file not found at path: " + missing},
    };
    for (const auto& c : cases) {
        try {
            load(c.path, c.slice, c.buffered, c.maxChunk);
            ADD_FAILURE() << "accepted " << c.message;
        } catch (const WhisperError& error) {
            EXPECT_EQ(error.kind(), WhisperError::Kind::loadAudioFailed);
            EXPECT_EQ(error.message(), c.message);
        }
    }

    const auto text = (folder / "words.wav").string();
    System::FileTesting::writeFile(text, "not audio at all");
    auto stream = load(text, 120, 2, 480'000);
    try {
        next(stream);
        ADD_FAILURE() << "an unreadable file ended the stream without an error";
    } catch (const System::Log::DescribedError& error) {
        EXPECT_NE(error.description().find(text), std::string::npos) << error.description();
    }
    EXPECT_FALSE(next(stream));
}

TEST(IncrementalLoadController, CountsSlotsAndIgnoresStraySignals) {
    IncrementalLoadController controller(2);
    controller.signalChunkConsumed();
    EXPECT_EQ(controller.activeChunks(), 0);
    EXPECT_TRUE(controller.requestChunkSlot());
    EXPECT_TRUE(controller.requestChunkSlot());
    EXPECT_EQ(controller.activeChunks(), 2);
    controller.signalChunkConsumed();
    EXPECT_EQ(controller.activeChunks(), 1);
    controller.resumeWaitingProducers();
    EXPECT_FALSE(controller.requestChunkSlot());
    EXPECT_EQ(controller.activeChunks(), 1);
}
