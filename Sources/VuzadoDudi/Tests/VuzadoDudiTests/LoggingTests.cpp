#include "VuzadoDudi/Logging.h"

#include <limits>
#include <mutex>

#include <gtest/gtest.h>

namespace {

using VuzadoDudi::Logging;
using Level = Logging::LogLevel;
using Type = Logging::LogType;

// The shared logger is process-wide: each test restores it as it found it.
class LoggingTest : public ::testing::Test {
protected:
    void TearDown() override {
        Logging::updateLogLevel(Level::none);
        Logging::updateCallback(nullptr);
    }
    std::vector<std::string> received;
    void capture() {
        Logging::updateCallback([this](const std::string& text) { received.push_back(text); });
    }
};

TEST_F(LoggingTest, OffUntilALevelIsSet) {
    System::Log::CaptureSink sink;
    EXPECT_FALSE(Logging::isLoggingEnabled());
    EXPECT_FALSE(Logging::isLoggingEnabledFor(Level::error));
    Logging::debug("a");
    Logging::info("b");
    Logging::error("c");
    EXPECT_TRUE(sink.messages("Varevo").empty());
    Logging::updateLogLevel(Level::error);
    EXPECT_TRUE(Logging::isLoggingEnabled());
    EXPECT_TRUE(Logging::shared().isLoggingEnabled());
}

TEST_F(LoggingTest, LevelsFilterByRank) {
    struct Case {
        Level level;
        Type type;
        bool passes;
    };
    const std::vector<Case> cases = {
        {Level::debug, Type::debug, true},  {Level::info, Type::debug, false},  {Level::info, Type::info, true},
        {Level::info, Type::defaultType, true}, {Level::info, Type::fault, true}, {Level::error, Type::info, false},
        {Level::error, Type::defaultType, false}, {Level::error, Type::error, true}, {Level::error, Type::fault, true},
        {Level::none, Type::fault, false},
    };
    capture();
    for (const auto& c : cases) {
        received.clear();
        Logging::updateLogLevel(c.level);
        Logging::shared().log(c.type, " ", std::nullopt, "m");
        EXPECT_EQ(received.size(), c.passes ? 1u : 0u) << static_cast<int>(c.level) << " " << static_cast<int>(c.type);
    }
    Logging::updateLogLevel(Level::info);
    EXPECT_FALSE(Logging::shared().isLoggingEnabledFor(Level::debug));
    EXPECT_TRUE(Logging::shared().isLoggingEnabledFor(Level::error));
    Logging::updateLogLevel(Level::none);
    EXPECT_FALSE(Logging::shared().isLoggingEnabledFor(Level::error));
}

TEST_F(LoggingTest, JoinsItemsWithSeparatorAndTerminator) {
    capture();
    Logging::updateLogLevel(Level::debug);
    Logging::debug("a", 1, 2.5);
    Logging::shared().log(Type::info, ",", "!", "a", 1, 2.5);
    Logging::info(Logging::Joining{",", "!"}, "a", 1, 2.5);
    Logging::error(Logging::Joining{.separator = "-"}, "x", "y");
    Logging::debug(Logging::Joining{.terminator = "\n"}, "z", 1.0);
    Logging::debug(Logging::Joining{.separator = "", .terminator = ""});
    EXPECT_EQ(received, (std::vector<std::string>{"a 1 2.5", "a,1,2.5!", "a,1,2.5!", "x-y", "z 1.0\n", ""}));

    // The separator and terminator count for the level like the items: a message dropped is dropped whole.
    received.clear();
    Logging::updateLogLevel(Level::error);
    Logging::info(Logging::Joining{",", "!"}, "a");
    EXPECT_TRUE(received.empty());
}

TEST_F(LoggingTest, FloatingPointNumbersAsTheirDescription) {
    struct Case {
        double value;
        std::string text;
    };
    const std::vector<Case> cases = {
        {1.0, "1.0"},
        {2.5, "2.5"},
        {-0.0, "-0.0"},
        {100.0, "100.0"},
        {0.1, "0.1"},
        {1.0 / 3, "0.3333333333333333"},
        {0.0001, "0.0001"},
        {0.00001, "1e-05"},
        {9007199254740992.0, "9007199254740992.0"},
        {1e16, "1e+16"},
        {-1.5e300, "-1.5e+300"},
        {std::numeric_limits<double>::infinity(), "inf"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Logging::describe(c.value), c.text) << c.text;
    }
    EXPECT_EQ(Logging::describe(0.1f), "0.1");
    EXPECT_EQ(Logging::describe(16777216.0f), "16777216.0");
    EXPECT_EQ(Logging::describe(1e8f), "1e+08");
    capture();
    Logging::updateLogLevel(Level::info);
    Logging::info("took", 1.0, "s", 3);
    EXPECT_EQ(received, std::vector<std::string>{"took 1.0 s 3"});
}

TEST_F(LoggingTest, CallbackReplacesTheSystemLog) {
    Logging::updateLogLevel(Level::info);
    {
        System::Log::CaptureSink sink;
        Logging::info("to the system log");
        EXPECT_EQ(sink.messages("Varevo"), std::vector<std::string>{"to the system log"});
    }
    System::Log::CaptureSink sink;
    capture();
    Logging::info("to the callback");
    EXPECT_TRUE(sink.messages("Varevo").empty());
    EXPECT_EQ(received, std::vector<std::string>{"to the callback"});
}

TEST_F(LoggingTest, ACallbackMayLogAndChangeTheLogger) {
    Logging::updateLogLevel(Level::info);
    int calls = 0;
    Logging::updateCallback([&](const std::string&) {
        if (++calls == 1) {
            Logging::info("nested");
            Logging::updateLogLevel(Level::error);
        }
    });
    Logging::info("outer");
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(Logging::shared().logLevel(), Level::error);
}

TEST_F(LoggingTest, LevelRawValues) {
    EXPECT_EQ(Logging::logLevelFromRawValue(0), std::nullopt);
    EXPECT_EQ(Logging::logLevelFromRawValue(5), std::nullopt);
    EXPECT_EQ(Logging::logLevelFromRawValue(4), Level::none);
    EXPECT_EQ(Logging::logLevelFromRawValue(1), Level::debug);
    EXPECT_LT(Level::debug, Level::info);
    EXPECT_LT(Level::error, Level::none);
}

TEST_F(LoggingTest, MemoryLine) {
    EXPECT_GT(Logging::getMemoryUsage(), 0u);
    capture();
    Logging::updateLogLevel(Level::debug);
    Logging::logCurrentMemoryUsage("Encoder");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].rfind("Encoder - Memory usage: ", 0), 0u);
    EXPECT_EQ(received[0].substr(received[0].size() - 3), " MB");
}

TEST_F(LoggingTest, TimingLine) {
    const std::string line = Logging::formatTimeWithPercentage(1.5, 3, 6000);
    EXPECT_EQ(line, " 1500.00 ms /      3 runs (  500.00 ms/run) 25.00%");
    EXPECT_NE(Logging::formatTimeWithPercentage(1, 0, 1000).find("(    0.00 ms/run)"), std::string::npos);
}

} // namespace
