#include <stdexcept>

#include <gtest/gtest.h>

#include "Results/ResultFixtures.h"

#include "Data/LogCapture.h"
#include "ZodozorEro/Core/Audio/AudioChunker.h"
#include "ZodozorEro/Utilities/WhisperError.h"

namespace {

using ZodozorEro::AudioChunk;
using ZodozorEro::TranscriptionResult;
using ZodozorEro::TranscriptionSegment;
using ZodozorEro::TranscriptionTimings;
using ZodozorEro::VADAudioChunker;
using ZodozorEro::WhisperError;
using ZodozorEro::WordTiming;
using Results = std::vector<std::shared_ptr<TranscriptionResult>>;

std::shared_ptr<TranscriptionResult> result(std::string text,
                                            std::optional<std::vector<WordTiming>> words = std::nullopt) {
    TranscriptionSegment segment =
        ZodozorEroTesting::resultSegment(4, 16000, 1, 2.5f, text, std::move(words));
    return std::make_shared<TranscriptionResult>(text, std::vector{segment}, "en", TranscriptionTimings());
}

AudioChunk chunk(std::int64_t offset) {
    return AudioChunk{.seekOffsetIndex = offset, .audioSamples = {}};
}

TEST(ChunkedResultsTest, PiecesMoveOntoTheWholeTimelineAndFailedPiecesAreLeftOut) {
    ZodozorEroTesting::LogCapture log;
    const VADAudioChunker chunker;
    const auto a = result(" a", std::vector<WordTiming>{{" a", {9}, 1.25f, 2, 0.5f}});
    const auto b = result(" b", std::vector<WordTiming>{});
    const auto c = result(" c");
    const std::vector<ZodozorEro::TranscriptionOutcome> outcomes = {
        {.results = {a, b}},
        {.error = std::make_exception_ptr(WhisperError::decodingFailed("window broke"))},
        {.results = {}},
        {.results = {c}},
    };
    const Results merged = chunker.updateSeekOffsetsForResults(
        outcomes, {chunk(0), chunk(480000), chunk(700000), chunk(480000)});

    ASSERT_EQ(merged, (Results{a, b, c})) << "the same objects, in piece and result order";
    EXPECT_EQ(a->seekTime(), 0.0f);
    EXPECT_EQ(a->segments()[0].seek, 16000);
    EXPECT_EQ(a->segments()[0].start, 1);
    EXPECT_EQ((*a->segments()[0].words)[0].start, 1.25f);
    EXPECT_EQ(b->segments()[0].words, std::vector<WordTiming>{}) << "an empty word list stays empty";

    EXPECT_EQ(c->seekTime(), 30.0f);
    const TranscriptionSegment moved = c->segments()[0];
    EXPECT_EQ(moved.seek, 16000 + 480000);
    EXPECT_EQ(moved.start, 31);
    EXPECT_EQ(moved.end, 32.5f);
    EXPECT_EQ(moved.words, std::nullopt);
    EXPECT_EQ(moved.id, 4) << "ids are not renumbered";
    EXPECT_EQ(c->text(), " c");

    EXPECT_EQ(log.lines(), std::vector<std::string>{"Error transcribing chunk 1: window broke"});
}

TEST(ChunkedResultsTest, WindowStartsStayExactFarIntoLongAudio) {
    // 2^24 + 1 samples cannot be held by a float; the window start must still move by exactly that many.
    const std::int64_t offset = (std::int64_t{1} << 24) + 1;
    const auto r = result(" late");
    VADAudioChunker().updateSeekOffsetsForResults({{.results = {r}}}, {chunk(offset)});
    EXPECT_EQ(r->segments()[0].seek, 16000 + offset);
    EXPECT_FLOAT_EQ(*r->seekTime(), float(double(offset) / 16000));
}

TEST(ChunkedResultsTest, MoreOutcomesThanPiecesIsRefused) {
    const auto r = result(" x");
    EXPECT_THROW(VADAudioChunker().updateSeekOffsetsForResults({{.results = {r}}, {}}, {chunk(0)}),
                 std::invalid_argument);
    EXPECT_EQ(r->seekTime(), std::nullopt) << "nothing changed";
    EXPECT_TRUE(VADAudioChunker().updateSeekOffsetsForResults({}, {}).empty());
}

} // namespace
