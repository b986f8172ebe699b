#include "System/Log/Logger.h"

#include <gtest/gtest.h>

using namespace System::Log;

namespace {
struct PrivateLoggingOff : ::testing::Test {
    void SetUp() override { setPrivateLoggingEnabled(false); }
    void TearDown() override { setPrivateLoggingEnabled(false); }
};
} // namespace

TEST_F(PrivateLoggingOff, TextIsPrivateUnlessMarkedPublicAndNumbersArePublic) {
    CaptureSink capture;
    const Logger logger("com.tessarin.Tessarin", "Pipeline");
    const std::string transcript = "my secret words";
    logger.info("Transcribed {} ms with {}: {}", 125, Public(std::string("tessarin")), transcript);
    logger.error("Explicitly private {} and {}", Private(42), true);
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "Transcribed 125 ms with tessarin: <private>");
    EXPECT_EQ(records[0].subsystem, "com.tessarin.Tessarin");
    EXPECT_EQ(records[0].category, "Pipeline");
    EXPECT_EQ(records[0].level, Level::info);
    EXPECT_EQ(records[1].message, "Explicitly private <private> and true");
    EXPECT_EQ(records[1].level, Level::error);
}

TEST_F(PrivateLoggingOff, PrivateValuesShowWhenTheUserTurnsOnPrivateLogging) {
    CaptureSink capture;
    setPrivateLoggingEnabled(true);
    Logger("s", "c").notice("said {}", std::string("hello"));
    EXPECT_EQ(capture.messages("c"), (std::vector<std::string>{"said hello"}));
}

TEST(RenderTests, PlaceholdersAreFilledInOrderAndExtrasLeftAlone) {
    EXPECT_EQ(render("{} and {} and {}", {Value{"a", false}, Value{"b", true}}, false),
              "a and <private> and {}");
    EXPECT_EQ(render("no placeholders", {Value{"x", false}}, false), "no placeholders");
    EXPECT_EQ(render("{", {}, false), "{");
}

TEST(SignposterTests, IntervalsPairBeginAndEndByIdAndEndOnce) {
    CaptureSink capture;
    const Signposter signposter(Logger("com.tessarin.Tessarin", "Pipeline"));
    {
        auto dictation = signposter.beginInterval("Dictation");
        auto transcribe = signposter.beginInterval("Transcribe");
        transcribe.end();
        transcribe.end();
        auto moved = std::move(dictation);
    }
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].kind, RecordKind::intervalBegin);
    EXPECT_EQ(records[0].message, "Dictation");
    EXPECT_EQ(records[1].message, "Transcribe");
    EXPECT_EQ(records[2].kind, RecordKind::intervalEnd);
    EXPECT_EQ(records[2].intervalId, records[1].intervalId);
    EXPECT_EQ(records[3].kind, RecordKind::intervalEnd);
    EXPECT_EQ(records[3].intervalId, records[0].intervalId);
    EXPECT_NE(records[0].intervalId, records[1].intervalId);
}

TEST(FatalErrorTests, LogsAndAborts) {
    EXPECT_DEATH(fatalError("Missing TessarinAPIURL"), "Fatal error: Missing TessarinAPIURL");
}
