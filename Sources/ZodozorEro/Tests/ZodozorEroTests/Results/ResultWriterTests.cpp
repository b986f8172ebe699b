#include "ZodozorEro/Utilities/ResultWriter.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "Results/ResultFixtures.h"

#include "System/Json/BoundedJson.h"
#include "System/Tests/FileTesting/FileTesting.h"

namespace {

using System::FileTesting::TemporaryFolder;
using ZodozorEro::ResultWriting;
using ZodozorEro::TranscriptionResult;
using ZodozorEro::TranscriptionResultStruct;
using ZodozorEro::TranscriptionSegment;
using ZodozorEro::TranscriptionTimings;
using ZodozorEro::WordTiming;
using ZodozorEro::WriteJSON;
using ZodozorEro::WriteSRT;
using ZodozorEro::WriteVTT;

std::string contentsOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

TranscriptionSegment segment(int id, float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words) {
    return ZodozorEroTesting::resultSegment(id, 0, start, end, std::move(text), std::move(words));
}

// Words in the first segment, an empty word list in the second, none in the third; times that print exactly
// only when rounded to the millisecond (0.29 is 0.2899999... as a float), and one past an hour.
TranscriptionResult fixedResult() {
    return TranscriptionResult(
        " Hi there. Next line. Late.",
        {segment(0, 0.29f, 1.5f, " Hi there.",
                 {{{.word = " Hi", .tokens = {1000}, .start = 0.29f, .end = 0.7f, .probability = 0.9f},
                   {.word = " there.", .tokens = {1001}, .start = 0.7f, .end = 1.5f, .probability = 0.75f}}}),
         segment(1, 1.5f, 65.25f, " Next line.", std::vector<WordTiming>{}),
         segment(2, 3725.5f, 3726.001f, " Late.", std::nullopt)},
        "en", TranscriptionTimings());
}

TEST(ResultWriterTest, SubRipOutputOfAFixedResult) {
    TemporaryFolder folder("srt");
    const auto outcome = WriteSRT(folder.path().string()).write(fixedResult(), "talk");
    ASSERT_TRUE(std::holds_alternative<std::string>(outcome));
    EXPECT_EQ(std::get<std::string>(outcome), "file://" + (folder / "talk.srt").string());
    EXPECT_EQ(contentsOf(folder / "talk.srt"), "1\n"
                                               "00:00:00,290 --> 00:00:00,700\n"
                                               " Hi\n"
                                               "\n"
                                               "2\n"
                                               "00:00:00,700 --> 00:00:01,500\n"
                                               " there.\n"
                                               "\n"
                                               "3\n"
                                               "00:00:01,500 --> 00:01:05,250\n"
                                               " Next line.\n"
                                               "\n"
                                               "4\n"
                                               "01:02:05,500 --> 01:02:06,001\n"
                                               " Late.\n"
                                               "\n");
}

TEST(ResultWriterTest, WebVTTOutputOfAFixedResult) {
    TemporaryFolder folder("vtt");
    const auto outcome = WriteVTT(folder.path().string()).write(fixedResult(), "talk");
    ASSERT_TRUE(std::holds_alternative<std::string>(outcome));
    EXPECT_EQ(contentsOf(folder / "talk.vtt"), "WEBVTT\n"
                                               "\n"
                                               "00:00.290 --> 00:00.700\n"
                                               " Hi\n"
                                               "\n"
                                               "00:00.700 --> 00:01.500\n"
                                               " there.\n"
                                               "\n"
                                               "00:01.500 --> 01:05.250\n"
                                               " Next line.\n"
                                               "\n"
                                               "01:02:05.500 --> 01:02:06.001\n"
                                               " Late.\n"
                                               "\n");
}

TEST(ResultWriterTest, JSONOutputOfAFixedResultIsItsPrettyPrintedCodedForm) {
    TemporaryFolder folder("json");
    TranscriptionTimings timings;
    timings.pipelineStart = 12.5;
    timings.firstTokenTime = 13;
    timings.fullPipeline = 2.25;
    const TranscriptionResult result(
        " Hi.",
        {segment(0, 0.5f, 1, " Hi.",
                 {{{.word = " Hi.", .tokens = {1000}, .start = 0.5f, .end = 1, .probability = 0.5f}}})},
        "en", timings, 30.0f);
    const auto outcome = WriteJSON(folder.path().string()).write(result, "talk");
    ASSERT_TRUE(std::holds_alternative<std::string>(outcome));

    std::string expectedTimings;
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"pipelineStart", "12.5"}, {"firstTokenTime", "13.0"}, {"inputAudioSeconds", "0.001"}};
    const std::vector<std::string> zeroFields = {"modelLoading",
                                                 "prewarmLoadTime",
                                                 "encoderLoadTime",
                                                 "decoderLoadTime",
                                                 "encoderSpecializationTime",
                                                 "decoderSpecializationTime",
                                                 "tokenizerLoadTime",
                                                 "audioLoading",
                                                 "audioProcessing",
                                                 "logmels",
                                                 "encoding",
                                                 "decodingInit",
                                                 "decodingLoop",
                                                 "decodingPredictions",
                                                 "decodingFiltering",
                                                 "decodingSampling",
                                                 "decodingFallback",
                                                 "decodingWindowing",
                                                 "decodingKvCaching",
                                                 "decodingWordTimestamps",
                                                 "decodingNonPrediction",
                                                 "totalAudioProcessingRuns",
                                                 "totalLogmelRuns",
                                                 "totalEncodingRuns",
                                                 "totalDecodingLoops",
                                                 "totalKVUpdateRuns",
                                                 "totalTimestampAlignmentRuns",
                                                 "totalDecodingFallbacks",
                                                 "totalDecodingWindows"};
    for (const auto& [key, value] : fields) {
        expectedTimings += "    \"" + key + "\": " + value + ",\n";
    }
    for (const auto& key : zeroFields) {
        expectedTimings += "    \"" + key + "\": 0.0,\n";
    }
    expectedTimings += "    \"fullPipeline\": 2.25\n";

    const std::string expected = "{\n"
                                 "  \"text\": \" Hi.\",\n"
                                 "  \"segments\": [\n"
                                 "    {\n"
                                 "      \"id\": 0,\n"
                                 "      \"seek\": 0,\n"
                                 "      \"start\": 0.5,\n"
                                 "      \"end\": 1.0,\n"
                                 "      \"text\": \" Hi.\",\n"
                                 "      \"tokens\": [\n"
                                 "        50364,\n"
                                 "        1000,\n"
                                 "        50400\n"
                                 "      ],\n"
                                 "      \"tokenLogProbs\": [\n"
                                 "        {\n"
                                 "          \"50364\": 0.0\n"
                                 "        },\n"
                                 "        {\n"
                                 "          \"1000\": -0.25\n"
                                 "        },\n"
                                 "        {\n"
                                 "          \"50400\": 0.0\n"
                                 "        }\n"
                                 "      ],\n"
                                 "      \"temperature\": 0.0,\n"
                                 "      \"avgLogprob\": -0.5,\n"
                                 "      \"compressionRatio\": 1.5,\n"
                                 "      \"noSpeechProb\": 0.125,\n"
                                 "      \"words\": [\n"
                                 "        {\n"
                                 "          \"word\": \" Hi.\",\n"
                                 "          \"tokens\": [\n"
                                 "            1000\n"
                                 "          ],\n"
                                 "          \"start\": 0.5,\n"
                                 "          \"end\": 1.0,\n"
                                 "          \"probability\": 0.5\n"
                                 "        }\n"
                                 "      ]\n"
                                 "    }\n"
                                 "  ],\n"
                                 "  \"language\": \"en\",\n"
                                 "  \"timings\": {\n" +
                                 expectedTimings +
                                 "  },\n"
                                 "  \"seekTime\": 30.0\n"
                                 "}";
    const std::string written = contentsOf(folder / "talk.json");
    EXPECT_EQ(written, expected);
    EXPECT_EQ(TranscriptionResult::decode(System::Json::parse(written)).encode(), result.encode());
}

TEST(ResultWriterTest, AResultWithoutSegmentsGivesEmptySubtitles) {
    TemporaryFolder folder("empty");
    const TranscriptionResult empty("", {}, "en", TranscriptionTimings());
    ASSERT_TRUE(std::holds_alternative<std::string>(WriteSRT(folder.path().string()).write(empty, "e")));
    ASSERT_TRUE(std::holds_alternative<std::string>(WriteVTT(folder.path().string()).write(empty, "e")));
    EXPECT_EQ(contentsOf(folder / "e.srt"), "");
    EXPECT_EQ(contentsOf(folder / "e.vtt"), "WEBVTT\n\n");
}

TEST(ResultWriterTest, TheExtensionIsAlwaysAppendedAndTheAddressIsEscaped) {
    TemporaryFolder folder("names");
    const auto outcome = WriteSRT(folder.path().string()).write(fixedResult(), "my talk%.srt");
    ASSERT_TRUE(std::holds_alternative<std::string>(outcome));
    EXPECT_TRUE(std::filesystem::exists(folder / "my talk%.srt.srt"));
    EXPECT_EQ(std::get<std::string>(outcome), "file://" + folder.path().string() + "/my%20talk%25.srt.srt");
}

TEST(ResultWriterTest, FailuresAreReturnedAndLeaveTheTargetAsItWas) {
    TemporaryFolder folder("failures");
    const auto error = [](const ResultWriting::Outcome& outcome) {
        return std::holds_alternative<std::exception_ptr>(outcome) && std::get<std::exception_ptr>(outcome);
    };

    EXPECT_TRUE(error(WriteSRT((folder / "missing").string()).write(fixedResult(), "talk")));
    EXPECT_TRUE(error(WriteJSON((folder / "missing").string()).write(fixedResult(), "talk")));
    EXPECT_FALSE(std::filesystem::exists(folder / "missing"));

    // A folder in the target's place cannot be replaced; it stays as it was.
    std::filesystem::create_directory(folder / "busy.vtt");
    EXPECT_TRUE(error(WriteVTT(folder.path().string()).write(fixedResult(), "busy")));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "busy.vtt"));

    // A value JSON cannot hold fails the encoding, and the earlier file survives.
    System::FileTesting::writeFile(folder / "bad.json", "earlier");
    const TranscriptionResult bad(" x", {segment(0, std::nanf(""), 1, " x", std::nullopt)}, "en",
                                  TranscriptionTimings());
    EXPECT_TRUE(error(WriteJSON(folder.path().string()).write(bad, "bad")));
    EXPECT_EQ(contentsOf(folder / "bad.json"), "earlier");
    EXPECT_EQ(System::FileTesting::entryCount(folder.path()), 2) << "no temporary file is left behind";
}

TEST(ResultWriterTest, TimesFormatWithAndWithoutHours) {
    const WriteSRT writer("/");
    struct Case {
        float seconds;
        bool hours;
        std::string marker;
        std::string text;
    };
    const std::vector<Case> cases = {
        {3725.5f, true, ",", "01:02:05,500"},
        {3725.5f, false, ".", "01:02:05.500"},
        {65.25f, true, ",", "00:01:05,250"},
        {65.25f, false, ".", "01:05.250"},
        {0.29f, false, ".", "00:00.290"},
        {59.9996f, false, ".", "01:00.000"},
        {3599.9999f, false, ".", "01:00:00.000"},
        {0, true, "%s", "00:00:00%s000"},
        {-1, false, ".", "00:00.000"},
        {std::nanf(""), false, ".", "00:00.000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(writer.formatTime(c.seconds, c.hours, c.marker), c.text) << c.seconds;
    }
    EXPECT_EQ(writer.formatSegment(7, 1.5f, 2, " a"), "7\n00:00:01,500 --> 00:00:02,000\n a\n\n");
    EXPECT_EQ(writer.formatTiming(1.5f, 2, " a"), "00:01.500 --> 00:02.000\n a\n\n");
}

} // namespace
