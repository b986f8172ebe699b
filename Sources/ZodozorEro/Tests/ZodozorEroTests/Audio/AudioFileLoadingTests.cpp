#include "AudioTestSignals.h"

#include "../Data/LogCapture.h"

#include "System/Audio/AudioFile.h"
#include "System/Audio/AudioFileWriter.h"
#include "System/Concurrency/BlockingRun.h"
#include "System/Log/Logger.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "System/Tests/FileTesting/Sox.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Utilities/JsonCoding.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

using namespace ZodozorEro;
using namespace AudioTestSignals;
using System::Audio::AudioFileEncoding;
using System::Audio::writeAudioFile;
using System::FileTesting::TemporaryFolder;

namespace {

// The message of the WhisperError that `load` throws, with its kind checked.
template <class F>
std::string loadFailure(F&& load) {
    try {
        load();
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), WhisperError::Kind::loadAudioFailed);
        return error.message();
    }
    ADD_FAILURE() << "no WhisperError";
    return {};
}

struct FileCase {
    const char* name;
    AudioFileEncoding encoding;
    int rate;
    int channels;
    double seconds;
};

class AudioFileFormats : public ::testing::TestWithParam<FileCase> {};

} // namespace

// Every format comes out as 16 kHz mono of the right length, with the tone's frequency and level intact.
TEST_P(AudioFileFormats, LoadsAsSixteenKilohertzMonoWithFrequencyAndLevelKept) {
    const FileCase& c = GetParam();
    TemporaryFolder folder("audio-formats");
    const auto frames = std::size_t(c.seconds * c.rate);
    // Every channel holds the same 440 Hz tone at 0.5, so any fold of them keeps that level.
    const std::vector<std::vector<float>> planes(std::size_t(c.channels), sine(440, 0.5, c.rate, frames));
    const auto path = folder / "tone";
    writeAudioFile(path, c.encoding, c.rate, planes);

    auto buffer = AudioProcessor::loadAudio(path.string());
    EXPECT_EQ(buffer.format().sampleRate, 16'000);
    EXPECT_EQ(buffer.format().channelCount, 1u);
    EXPECT_NEAR(double(buffer.frameLength()), c.seconds * 16'000, 2);
    const auto steady = middle(plane(buffer), 800);
    EXPECT_NEAR(frequency(steady, 16'000), 440, 0.5);
    EXPECT_NEAR(amplitude(steady), 0.5, 0.01);

    const auto array = AudioProcessor::loadAudioAsFloatArray(path.string());
    EXPECT_EQ(array.size(), buffer.frameLength());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, AudioFileFormats,
    ::testing::Values(FileCase{"wav16_8k_mono", AudioFileEncoding::wavInt16, 8'000, 1, 2.0},
                      FileCase{"wavfloat_44k_stereo", AudioFileEncoding::wavFloat32, 44'100, 2, 2.0},
                      FileCase{"flac16_48k_stereo", AudioFileEncoding::flacInt16, 48'000, 2, 2.0},
                      FileCase{"flac24_44k_mono", AudioFileEncoding::flacInt24, 44'100, 1, 1.5},
                      FileCase{"wav16_16k_stereo", AudioFileEncoding::wavInt16, 16'000, 2, 1.0},
                      FileCase{"wav16_22k_six_channels", AudioFileEncoding::wavInt16, 22'050, 6, 1.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AudioFileLoading, ReadsSixteenKilohertzMonoFilesBitExactly) {
    TemporaryFolder folder("audio-exact");
    std::vector<float> samples(20'000);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = float(std::sin(double(i) * 0.37) * 0.9 + double(i % 7) * 0.01 - 0.03);
    }
    writeAudioFile(folder / "float.wav", AudioFileEncoding::wavFloat32, 16'000, {samples});
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray((folder / "float.wav").string()), samples);

    // 16-bit samples come back as the integers over 32768.
    std::vector<float> integral(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        integral[i] = float(std::lround(samples[i] * 32'767.0)) / 32'768.0f;
    }
    writeAudioFile(folder / "int.wav", AudioFileEncoding::wavInt16, 16'000, {integral});
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray((folder / "int.wav").string()), integral);
}

// Blocks of any size give the same signal as one pass: nothing repeated or lost, no seam at block edges.
TEST(AudioFileLoading, SmallReadBlocksNeitherRepeatNorLoseAudio) {
    TemporaryFolder folder("audio-blocks");
    // A rising ramp: a block handed to the converter twice would fall back to an earlier value.
    const std::size_t frames = 44'100;
    std::vector<float> ramp(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        ramp[i] = float(i) / float(frames) * 0.8f;
    }
    const auto path = (folder / "ramp.wav").string();
    writeAudioFile(path, AudioFileEncoding::wavFloat32, 44'100, {ramp, ramp});
    const auto whole = plane(AudioProcessor::loadAudio(path));
    ASSERT_NEAR(double(whole.size()), 16'000, 2);
    for (std::size_t i = 2'000; i + 2'000 < whole.size(); ++i) {
        ASSERT_GT(whole[i], whole[i - 1]) << i;
    }
    EXPECT_NEAR(whole[8'000], 0.4, 0.001);
    for (std::uint32_t readSize : {1'000u, 4'410u, 44'099u}) {
        const auto blocks = plane(AudioProcessor::loadAudio(path, ChannelMode::sumChannels(), std::nullopt,
                                                            std::nullopt, readSize));
        ASSERT_EQ(blocks.size(), whole.size()) << readSize;
        for (std::size_t i = 0; i < whole.size(); ++i) {
            ASSERT_NEAR(blocks[i], whole[i], 1e-5) << "read size " << readSize << " at " << i;
        }
    }
    EXPECT_NE(loadFailure([&] {
                  AudioProcessor::loadAudio(path, ChannelMode::sumChannels(), std::nullopt, std::nullopt, 0u);
              }),
              "");
}

// A window's length is its length in time at 16 kHz: 0.7 s is 11,200 samples even where 0.7 x 44,100 comes
// out a hair below 30,870 frames in floating point.
TEST(AudioFileLoading, WindowsHoldTheirDurationInSamples) {
    TemporaryFolder folder("audio-window-lengths");
    struct WindowCase {
        int startMs;
        int endMs;
    };
    const std::vector<WindowCase> windows = {{0, 700}, {300, 1'000}, {100, 1'300}, {0, 1'900}, {700, 1'400}};
    for (int rate : {44'100, 48'000, 22'050, 8'000, 16'000}) {
        const auto path = (folder / ("tone-" + std::to_string(rate) + ".wav")).string();
        writeAudioFile(
            path, AudioFileEncoding::wavFloat32, rate,
            {sine(440, 0.5, rate, std::size_t(2 * rate)), sine(440, 0.5, rate, std::size_t(2 * rate))});
        for (const auto& w : windows) {
            const std::size_t expected = std::size_t(w.endMs - w.startMs) * 16;
            const auto buffer = AudioProcessor::loadAudio(path, ChannelMode::sumChannels(),
                                                          w.startMs / 1000.0, w.endMs / 1000.0);
            EXPECT_EQ(buffer.frameLength(), expected)
                << rate << " Hz, " << w.startMs << " to " << w.endMs << " ms";
            EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path, ChannelMode::sumChannels(),
                                                            w.startMs / 1000.0, w.endMs / 1000.0)
                          .size(),
                      expected)
                << rate << " Hz, " << w.startMs << " to " << w.endMs << " ms";
        }
    }
}

// A 16 kHz file needs no rate conversion whatever its channels: the fold is all that happens, sample for
// sample, and the band just below 8 kHz keeps its level.
TEST(AudioFileLoading, SixteenKilohertzFilesWithSeveralChannelsAreOnlyFolded) {
    TemporaryFolder folder("audio-16k-stereo");
    std::vector<float> left = sine(7'600, 0.4, 16'000, 16'000);
    const auto low = sine(300, 0.3, 16'000, 16'000);
    std::transform(left.begin(), left.end(), low.begin(), left.begin(), std::plus<>());
    const auto right = sine(7'500, 0.2, 16'000, 16'000);
    const auto path = (folder / "stereo.wav").string();
    writeAudioFile(path, AudioFileEncoding::wavFloat32, 16'000, {left, right});
    for (const ChannelMode& mode : {ChannelMode::sumChannels(), ChannelMode::specificChannel(0)}) {
        const auto folded = plane(*AudioProcessor::convertToMono(buffer(16'000, {left, right}), mode));
        EXPECT_EQ(plane(AudioProcessor::loadAudio(path, mode)), folded);
        EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path, mode), folded);
    }
}

// The gain that keeps a mix at the peak of its loudest channel is found once per read block. In a 6 s file
// whose right channel goes silent at 2 s, read in blocks of 200,000 frames (4.5 s), the first block holds
// both channels together: its gain of 1/2 holds up to 4.5 s, so the left tone alone comes out at half level
// until then, and at full level in the next block.
TEST(AudioFileLoading, FoldsEachReadBlockWithOneGain) {
    TemporaryFolder folder("audio-fold-blocks");
    const auto left = sine(440, 0.5, 44'100, 6 * 44'100);
    auto right = left;
    std::fill(right.begin() + 2 * 44'100, right.end(), 0.0f);
    const auto path = (folder / "stereo.wav").string();
    writeAudioFile(path, AudioFileEncoding::wavFloat32, 44'100, {left, right});
    const auto mono = plane(
        AudioProcessor::loadAudio(path, ChannelMode::sumChannels(), std::nullopt, std::nullopt, 200'000u));
    ASSERT_EQ(mono.size(), 96'000u);
    auto level = [&](double from, double to) {
        return amplitude(
            {mono.begin() + std::ptrdiff_t(from * 16'000), mono.begin() + std::ptrdiff_t(to * 16'000)});
    };
    EXPECT_NEAR(level(0.1, 1.9), 0.5, 0.01);
    EXPECT_NEAR(level(2.1, 4.4), 0.25, 0.01);
    EXPECT_NEAR(level(4.6, 5.9), 0.5, 0.01);
}

// A FLAC written as a stream says it holds 0 samples, and an Ogg cut short does not know its length; both
// load to the end of their data, as many frames as sox decodes, converted to 16 kHz.
TEST(AudioFileLoading, FilesOfUnknownLengthLoadToTheEndOfTheirData) {
    TemporaryFolder folder("audio-unknown-length");
    using System::FileTesting::quoted;
    using System::FileTesting::runCommand;
    const auto streamed = folder / "streamed.flac";
    const auto headed = folder / "headed.flac";
    const std::string synth = " synth 3.3 sine 440 sine 660 vol 0.5";
    runCommand("sox -n -r 44100 -c 2 -t flac -" + synth + " | cat > " + quoted(streamed));
    runCommand("sox -n -r 44100 -c 2 " + quoted(headed) + synth);
    const auto streamedMono = folder / "streamed-16k.flac";
    runCommand("sox -n -r 16000 -c 1 -t flac - synth 2.5 sine 300 vol 0.5 | cat > " + quoted(streamedMono));
    const auto ogg = folder / "whole.ogg";
    runCommand("sox -n -r 44100 -c 2 " + quoted(ogg) + " synth 12 sine 440 vol 0.5");
    const auto cut = folder / "cut.ogg";
    std::ifstream in(ogg, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    System::FileTesting::writeFile(cut, bytes.substr(0, bytes.size() / 2));

    for (const auto& [path, rate] : {std::pair{streamed, 44'100}, {streamedMono, 16'000}, {cut, 44'100}}) {
        ASSERT_FALSE(System::Audio::AudioFile::open(path).length()) << path;
        const std::int64_t frames = System::FileTesting::soxFrameCount(path);
        ASSERT_GT(frames, rate) << path;
        const auto expected = std::size_t(std::llround(double(frames) * 16'000 / rate));
        const auto array = AudioProcessor::loadAudioAsFloatArray(path.string());
        EXPECT_EQ(array.size(), expected) << path;
        EXPECT_EQ(plane(AudioProcessor::loadAudio(path.string())), array) << path;
        EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path.string(), ChannelMode::sumChannels(), 0.25, 1.25)
                      .size(),
                  16'000u)
            << path;
    }
    // The stream holds what the file with a full header holds.
    EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(streamed.string()),
              AudioProcessor::loadAudioAsFloatArray(headed.string()));
}

TEST(AudioFileLoading, LoadsInATaskAndLogsTheMemoryAfterwards) {
    TemporaryFolder folder("audio-async");
    const auto path = (folder / "tone.flac").string();
    writeAudioFile(path, AudioFileEncoding::flacInt16, 44'100, {sine(440, 0.5, 44'100, 44'100)});
    ZodozorEroTesting::LogCapture log(VuzadoDudi::Logging::LogLevel::debug);
    const auto loaded = System::Concurrency::blockingRun(AudioProcessor::loadAudioAsync(path));
    EXPECT_EQ(plane(loaded), plane(AudioProcessor::loadAudio(path)));
    const auto lines = log.lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.rfind("After loadAudio function - Memory usage: ", 0) == 0;
    }));
    const auto missing = (folder / "missing.wav").string();
    EXPECT_EQ(loadFailure([&] { System::Concurrency::blockingRun(AudioProcessor::loadAudioAsync(missing)); }),
              "Resource path does not exist " + missing);
}

// The front end's lines go through the library's logger: to its callback at a level that lets them pass,
// and nowhere at level none.
TEST(AudioFileLoading, LogsThroughTheLibraryLogger) {
    {
        ZodozorEroTesting::LogCapture log(VuzadoDudi::Logging::LogLevel::error);
        EXPECT_FALSE(AudioProcessor::padOrTrimAudio(std::vector<float>(10), 10, 480'000));
        EXPECT_EQ(log.lines(), std::vector<std::string>{"startIndex is outside the buffer size"});
    }
    System::Log::CaptureSink sink;
    ZodozorEroTesting::LogCapture log(VuzadoDudi::Logging::LogLevel::none);
    EXPECT_FALSE(AudioProcessor::padOrTrimAudio(std::vector<float>(10), 10, 480'000));
    EXPECT_TRUE(AudioProcessor::convertToMono(buffer(8'000, {{0.1f}, {0.2f}}),
                                              ChannelMode::sumChannels(std::vector<std::int64_t>{9})));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(sink.records().empty());
}

TEST(AudioFileLoading, ConvertsOneBlockToTheRoundedLengthOfTheNewRate) {
    auto input = buffer(44'100, {sine(440, 0.5, 44'100, 1'000)});
    auto converted = AudioProcessor::resampleAudio(input, 16'000, 1);
    ASSERT_TRUE(converted);
    EXPECT_EQ(converted->frameCapacity(), 363u); // 362.8... rounded
    EXPECT_EQ(converted->frameLength(), 363u);
}

namespace {
struct WindowCase {
    std::optional<double> start;
    std::optional<double> end;
    double expectedSeconds;
};
} // namespace

// A 3 s file: 1 s at 300 Hz, 1 s at 1 kHz, 1 s at 2 kHz. Windows pick the right stretch.
TEST(AudioFileLoading, LoadsStartAndEndWindows) {
    TemporaryFolder folder("audio-windows");
    std::vector<float> samples;
    for (double hertz : {300.0, 1'000.0, 2'000.0}) {
        const auto part = sine(hertz, 0.5, 48'000, 48'000);
        samples.insert(samples.end(), part.begin(), part.end());
    }
    const auto path = (folder / "steps.flac").string();
    writeAudioFile(path, AudioFileEncoding::flacInt16, 48'000, {samples});

    const std::vector<WindowCase> cases = {
        {0.0, std::nullopt, 3.0}, {std::nullopt, std::nullopt, 3.0}, {1.0, 2.0, 1.0}, {2.5, 10.0, 0.5},
        {1.5, 1.5, 0.0},          {3.0, std::nullopt, 0.0},
    };
    for (const auto& c : cases) {
        const auto window =
            AudioProcessor::loadAudioAsFloatArray(path, ChannelMode::sumChannels(), c.start, c.end);
        EXPECT_NEAR(double(window.size()), c.expectedSeconds * 16'000, 2)
            << c.start.value_or(-1) << " to " << c.end.value_or(-1);
    }
    EXPECT_NEAR(
        frequency(
            middle(AudioProcessor::loadAudioAsFloatArray(path, ChannelMode::sumChannels(), 1.0, 2.0), 400),
            16'000),
        1'000, 1);
    EXPECT_NEAR(
        frequency(middle(AudioProcessor::loadAudioAsFloatArray(path, ChannelMode::sumChannels(), 2.0), 400),
                  16'000),
        2'000, 2);

    // A window that starts after it ends, or after the file, is refused.
    EXPECT_NE(loadFailure([&] {
                  AudioProcessor::loadAudio(path, ChannelMode::sumChannels(), 2.0, 1.0);
              }).find("starts at 2.00 s"),
              std::string::npos);
    EXPECT_NE(loadFailure([&] { AudioProcessor::loadAudio(path, ChannelMode::sumChannels(), 4.0); }), "");
    EXPECT_NE(loadFailure([&] { AudioProcessor::loadAudio(path, ChannelMode::sumChannels(), -1.0); }), "");
}

TEST(AudioFileLoading, MissingDamagedAndForeignFilesGiveErrorsNamingThem) {
    TemporaryFolder folder("audio-bad");
    const auto missing = (folder / "missing.wav").string();
    EXPECT_EQ(loadFailure([&] { AudioProcessor::loadAudio(missing); }),
              "Resource path does not exist " + missing);
    EXPECT_EQ(loadFailure([&] { AudioProcessor::loadAudioAsFloatArray(missing); }),
              "Resource path does not exist " + missing);

    const auto text = (folder / "notes.wav").string();
    System::FileTesting::writeFile(text, "these are not samples, only words in a file with a sound name\n");
    EXPECT_NE(loadFailure([&] { AudioProcessor::loadAudio(text); }).find(text), std::string::npos);

    // A WAV cut off in its samples and one cut off in its header.
    const auto whole = (folder / "whole.wav").string();
    writeAudioFile(whole, AudioFileEncoding::wavInt16, 44'100, {sine(440, 0.5, 44'100, 44'100)});
    std::ifstream in(whole, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const auto cutSamples = (folder / "cut-samples.wav").string();
    const auto cutHeader = (folder / "cut-header.wav").string();
    System::FileTesting::writeFile(cutSamples, bytes.substr(0, bytes.size() / 2));
    System::FileTesting::writeFile(cutHeader, bytes.substr(0, 30));
    try {
        const auto samples = AudioProcessor::loadAudioAsFloatArray(cutSamples);
        EXPECT_LE(samples.size(), 16'000u);
        EXPECT_NEAR(frequency(middle(samples, 400), 16'000), 440, 1);
    } catch (const WhisperError& error) {
        EXPECT_NE(error.message().find(cutSamples), std::string::npos) << error.message();
    }
    EXPECT_NE(loadFailure([&] { AudioProcessor::loadAudio(cutHeader); }).find(cutHeader), std::string::npos);
}

TEST(AudioFileLoading, LoadsSeveralFilesInOrderWhenOneFails) {
    TemporaryFolder folder("audio-several");
    const auto first = (folder / "first.wav").string();
    const auto missing = (folder / "second.wav").string();
    const auto third = (folder / "third.flac").string();
    writeAudioFile(first, AudioFileEncoding::wavInt16, 16'000, {sine(300, 0.5, 16'000, 16'000)});
    writeAudioFile(third, AudioFileEncoding::flacInt16, 44'100, {sine(700, 0.5, 44'100, 22'050)});

    const auto results = AudioProcessor::loadAudio(std::vector<std::string>{first, missing, third, first});
    ASSERT_EQ(results.size(), 4u);
    ASSERT_TRUE(results[0].succeeded());
    EXPECT_EQ(results[0].samples.size(), 16'000u);
    EXPECT_NEAR(frequency(results[0].samples, 16'000), 300, 0.5);
    ASSERT_FALSE(results[1].succeeded());
    EXPECT_EQ(loadFailure([&] { std::rethrow_exception(results[1].error); }),
              "Resource path does not exist " + missing);
    ASSERT_TRUE(results[2].succeeded());
    EXPECT_NEAR(double(results[2].samples.size()), 8'000, 2);
    EXPECT_NEAR(frequency(middle(results[2].samples, 400), 16'000), 700, 1);
    ASSERT_TRUE(results[3].succeeded());
    EXPECT_EQ(results[3].samples, results[0].samples);
    EXPECT_TRUE(AudioProcessor::loadAudio(std::vector<std::string>{}).empty());
}

// ---- Folding channels ----

namespace {
struct FoldCase {
    const char* name;
    ChannelMode mode;
    std::vector<float> expected;
};
} // namespace

TEST(ChannelFolding, FoldsChannelsAsTheModeSays) {
    // Channel 0 peaks at 0.5, channel 1 at 0.25; their sum peaks at 0.75 and is rescaled to 0.5.
    const std::vector<float> left = {0.5f, -0.25f, 0.0f, 0.1f};
    const std::vector<float> right = {0.25f, 0.25f, -0.2f, 0.0f};
    const auto stereo = buffer(8'000, {left, right});
    const float mixScale = 0.5f / 0.75f;
    const std::vector<FoldCase> cases = {
        {"specific 1", ChannelMode::specificChannel(1), right},
        {"specific out of range", ChannelMode::specificChannel(5), left},
        {"specific negative", ChannelMode::specificChannel(-1), left},
        {"sum of unknown channels", ChannelMode::sumChannels(std::vector<std::int64_t>{7}), left},
        {"sum of channel 0 twice", ChannelMode::sumChannels(std::vector<std::int64_t>{0, 0}), left},
        {"sum of all",
         ChannelMode::sumChannels(),
         {0.75f * mixScale, 0.0f, -0.2f * mixScale, 0.1f * mixScale}},
        {"sum of an empty list",
         ChannelMode::sumChannels(std::vector<std::int64_t>{}),
         {0.75f * mixScale, 0.0f, -0.2f * mixScale, 0.1f * mixScale}},
    };
    for (const auto& c : cases) {
        const auto mono = AudioProcessor::convertToMono(stereo, c.mode);
        ASSERT_TRUE(mono) << c.name;
        EXPECT_EQ(mono->format().channelCount, 1u) << c.name;
        const auto samples = plane(*mono);
        ASSERT_EQ(samples.size(), c.expected.size()) << c.name;
        for (std::size_t i = 0; i < samples.size(); ++i) {
            EXPECT_NEAR(samples[i], c.expected[i], 1e-6) << c.name << " at " << i;
        }
    }
    const auto silent = buffer(8'000, {std::vector<float>(64, 0.0f), std::vector<float>(64, 0.0f)});
    EXPECT_EQ(plane(*AudioProcessor::convertToMono(silent, ChannelMode::sumChannels())),
              std::vector<float>(64, 0.0f));
    const auto mono = buffer(8'000, {left});
    EXPECT_EQ(plane(*AudioProcessor::convertToMono(mono, ChannelMode::specificChannel(1))), left);
}

TEST(ChannelFolding, ChannelModeJsonRoundTripsAndRefusesOtherShapes) {
    const std::vector<std::pair<ChannelMode, const char*>> forms = {
        {ChannelMode::specificChannel(3), R"({"specificChannel":{"_0":3}})"},
        {ChannelMode::sumChannels(), R"({"sumChannels":{}})"},
        {ChannelMode::sumChannels(std::vector<std::int64_t>{0, 2}), R"({"sumChannels":{"_0":[0,2]}})"},
    };
    for (const auto& [mode, text] : forms) {
        EXPECT_EQ(nlohmann::json(mode).dump(), text);
        EXPECT_EQ(nlohmann::json::parse(text).get<ChannelMode>(), mode) << text;
        EXPECT_EQ(std::hash<ChannelMode>{}(nlohmann::json::parse(text).get<ChannelMode>()),
                  std::hash<ChannelMode>{}(mode));
    }
    // A key that names no case is ignored.
    EXPECT_EQ(nlohmann::json::parse(R"({"sumChannels":{"_0":[1]},"note":"x"})").get<ChannelMode>(),
              ChannelMode::sumChannels(std::vector<std::int64_t>{1}));
}

// Bad forms fail as every other decoder of the pipeline fails: with a DecodingError that names the place.
TEST(ChannelFolding, ChannelModeJsonRefusesOtherShapesWithDecodingErrors) {
    const std::string invalidKeys = "Invalid number of keys found, expected one.";
    struct Case {
        const char* document;
        DecodingError::Kind kind;
        std::string path;
        std::string message; // checked when not empty
    };
    const std::vector<Case> cases = {
        {R"({})", DecodingError::Kind::typeMismatch, "", invalidKeys},
        {R"({"sumChannels":{},"specificChannel":{"_0":1}})", DecodingError::Kind::typeMismatch, "",
         invalidKeys},
        {R"({"mixChannels":{}})", DecodingError::Kind::typeMismatch, "", invalidKeys},
        {R"([])", DecodingError::Kind::typeMismatch, "", ""},
        {R"({"specificChannel":{}})", DecodingError::Kind::keyNotFound, "specificChannel._0", ""},
        {R"({"specificChannel":{"_0":"one"}})", DecodingError::Kind::typeMismatch, "specificChannel._0", ""},
        {R"({"specificChannel":{"_0":1.5}})", DecodingError::Kind::dataCorrupted, "specificChannel._0", ""},
        {R"({"sumChannels":[0]})", DecodingError::Kind::typeMismatch, "sumChannels", ""},
        {R"({"sumChannels":{"_0":[0,"1"]}})", DecodingError::Kind::typeMismatch, "sumChannels._0[1]", ""},
    };
    for (const auto& c : cases) {
        try {
            nlohmann::json::parse(c.document).get<ChannelMode>();
            ADD_FAILURE() << "accepted " << c.document;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), c.kind) << c.document;
            EXPECT_EQ(error.codingPath(), c.path) << c.document;
            if (!c.message.empty()) {
                EXPECT_EQ(error.debugDescription(), c.message) << c.document;
            }
        } catch (const std::exception& error) {
            ADD_FAILURE() << c.document << " failed with another error: " << error.what();
        }
    }
}

// ---- Arrays and windows ----

TEST(AudioArrays, CopiesTheFirstChannelInRunsAndClearsTheSource) {
    std::vector<float> samples(2'500);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = float(i) + 1;
    }
    auto source = buffer(16'000, {samples, samples});
    EXPECT_EQ(AudioProcessor::convertBufferToArray(source, 1'024), samples);
    EXPECT_EQ(plane(source, 0), std::vector<float>(2'500, 0.0f));
    EXPECT_EQ(plane(source, 1), samples);
    EXPECT_THROW(AudioProcessor::convertBufferToArray(source, 0), WhisperError);
}

TEST(AudioArrays, PadsOrTrimsModelWindows) {
    std::vector<float> hundred(100, 0.5f);
    auto padded = AudioProcessor::padOrTrimAudio(hundred, 0, 480'000);
    ASSERT_TRUE(padded);
    ASSERT_EQ(padded->size(), 480'000u);
    EXPECT_EQ(std::count(padded->begin(), padded->begin() + 100, 0.5f), 100);
    EXPECT_EQ(std::count(padded->begin() + 100, padded->end(), 0.0f), 479'900);

    std::vector<float> long_(600'000);
    for (std::size_t i = 0; i < long_.size(); ++i) {
        long_[i] = float(i);
    }
    EXPECT_EQ(*AudioProcessor::padOrTrimAudio(long_, 0, 480'000),
              std::vector<float>(long_.begin(), long_.begin() + 480'000));
    EXPECT_EQ(*AudioProcessor::padOrTrimAudio(long_, 599'999, 2), (std::vector<float>{599'999.0f, 0.0f}));
    EXPECT_FALSE(AudioProcessor::padOrTrimAudio(hundred, 100, 10));
    EXPECT_FALSE(AudioProcessor::padOrTrimAudio(hundred, -1, 10));
    EXPECT_THROW(AudioProcessor::padOrTrimAudio(hundred, 0, 0), WhisperError);
    EXPECT_THROW(AudioProcessor::padOrTrimAudio(hundred, 0, -5), WhisperError);
    AudioProcessor processor;
    EXPECT_EQ(processor.padOrTrim(hundred, 90, 4), (std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f}));
}

TEST(AudioArrays, WaveformImagesUseEachSampleAsAPixel) {
    const std::vector<float> samples = {0.25f, -1.0f, 0.5f, 2.0f, 7.0f};
    const auto image = AudioProcessor::createWaveformImage(samples, 2, 2.9);
    EXPECT_EQ(image.width, 2);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.bytesPerRow, 8);
    ASSERT_EQ(image.pixels.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &samples[i], 4);
        EXPECT_EQ(image.pixels[i], bits);
    }
    for (auto [width, height] : {std::pair{3.0, 2.0}, {0.0, 4.0}, {2.0, -1.0}, {std::nan(""), 1.0}}) {
        EXPECT_THROW(AudioProcessor::createWaveformImage(samples, width, height), WhisperError)
            << width << "x" << height;
    }
}
