// Files that are not what they say: headers that overstate the length, files cut in their data, paths that
// are no regular file. Every route that loads a whole file (as a buffer, as an array, several at once, in
// pieces) keeps what decodes and reports the rest with one error type naming the file and the cause; sox is
// the reference for what a file holds.
#include "AudioTestSignals.h"

#include "System/Concurrency/BlockingRun.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "System/Tests/FileTesting/Sox.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Core/Audio/EnergyVAD.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

using namespace ZodozorEro;
using namespace AudioTestSignals;
using System::FileTesting::quoted;
using System::FileTesting::runCommand;
using System::FileTesting::TemporaryFolder;

namespace {

// One route from a path to the 16 kHz mono samples of the whole file.
struct Loader {
    std::string name;
    std::function<std::vector<float>(const std::string&)> load;
};

std::vector<Loader> loaders() {
    return {
        {"loadAudio", [](const std::string& path) { return plane(AudioProcessor::loadAudio(path)); }},
        {"loadAudioAsFloatArray",
         [](const std::string& path) { return AudioProcessor::loadAudioAsFloatArray(path); }},
        {"loadAudio(paths)",
         [](const std::string& path) {
             auto results = AudioProcessor::loadAudio(std::vector<std::string>{path});
             if (!results.at(0).succeeded()) {
                 std::rethrow_exception(results[0].error);
             }
             return results[0].samples;
         }},
        {"loadFileIncrementally",
         [](const std::string& path) {
             auto stream = AudioProcessor::loadFileIncrementally(path, ChannelMode::sumChannels(), 120, 2,
                                                                 480'000, std::make_shared<EnergyVAD>());
             std::vector<float> joined;
             while (auto piece = System::Concurrency::blockingRun(stream.next())) {
                 joined.insert(joined.end(), piece->audioChunk.audioSamples.begin(),
                               piece->audioChunk.audioSamples.end());
                 piece->completionSignal();
             }
             return joined;
         }},
    };
}

std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A FLAC's first audio frame: after "fLaC" come metadata blocks, each a 4-byte header (the last one flagged
// in its top bit, then a 24-bit length) and its body.
std::size_t firstFlacFrame(const std::string& bytes) {
    std::size_t at = 4;
    for (bool last = false; !last;) {
        const auto header = [&](std::size_t i) { return std::uint8_t(bytes.at(at + i)); };
        last = (header(0) & 0x80) != 0;
        at += 4 + ((std::size_t(header(1)) << 16) | (std::size_t(header(2)) << 8) | header(3));
    }
    return at;
}

// A FLAC of `seconds` of a tone made by sox.
std::string soxFlac(const TemporaryFolder& folder, const std::string& name, int rate, int channels,
                    double seconds) {
    const auto path = folder / name;
    runCommand("sox -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -b 16 " +
               quoted(path) + " synth " + std::to_string(seconds) + " sine 440 vol 0.5");
    return readBytes(path);
}

} // namespace

namespace {
class OverstatedLengths : public ::testing::TestWithParam<int> {};
} // namespace

// A FLAC's header may claim up to 2^32 - 1 frames in a file of a few kilobytes. The loaders read what the
// file holds, and never size their memory by the claim: at 8 kHz it is 34 GB of samples, more than can be
// had, and at 44.1 kHz still 6 GB.
TEST_P(OverstatedLengths, LoadWhatTheFileHolds) {
    const int rate = GetParam();
    TemporaryFolder folder("audio-overstated");
    std::string bytes = soxFlac(folder, "tone.flac", rate, 1, 2);
    // STREAMINFO's 64 bits from byte 18: rate (20), channels (3), bits (5), total samples (36).
    std::uint64_t field = 0;
    for (int i = 0; i < 8; ++i) {
        field = (field << 8) | std::uint8_t(bytes[std::size_t(18 + i)]);
    }
    field = (field & ~((std::uint64_t(1) << 36) - 1)) | 0xFFFF'FFFFu;
    for (int i = 7; i >= 0; --i, field >>= 8) {
        bytes[std::size_t(18 + i)] = char(field & 0xff);
    }
    const auto path = folder / "overstated.flac";
    System::FileTesting::writeFile(path, bytes);
    ASSERT_EQ(System::Audio::AudioFile::open(path).length(), 0xFFFF'FFFF);

    const auto frames = System::FileTesting::soxFrameCount(path);
    ASSERT_EQ(frames, 2 * rate);
    const auto expected = std::size_t(std::llround(double(frames) * 16'000 / rate));
    for (const auto& loader : loaders()) {
        SCOPED_TRACE(loader.name);
        const auto samples = loader.load(path.string());
        EXPECT_EQ(samples.size(), expected);
        EXPECT_NEAR(frequency(middle(samples, 400), 16'000), 440, 1);
        EXPECT_LE(samples.capacity(), 2 * samples.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, OverstatedLengths, ::testing::Values(8'000, 44'100));

namespace {
struct CutCase {
    std::string name;
    int rate;
    int channels;
    double keptFraction;
    friend void PrintTo(const CutCase& param, std::ostream* out) { *out << param.name; }
};
class CutFlacFiles : public ::testing::TestWithParam<CutCase> {};
} // namespace

// A FLAC cut in its data loads up to where its data ends, as a cut WAV or Ogg does: the frames before the cut
// are the frames sox decodes (the decoder gives whole FLAC frames, and so does sox), sample for sample where
// no conversion is needed.
TEST_P(CutFlacFiles, LoadWhatSoxDecodes) {
    const auto& param = GetParam();
    TemporaryFolder folder("audio-cut-flac");
    const auto bytes = soxFlac(folder, "whole.flac", param.rate, param.channels, 8);
    const auto path = folder / "cut.flac";
    System::FileTesting::writeFile(path,
                                   bytes.substr(0, std::size_t(double(bytes.size()) * param.keptFraction)));

    const auto reference = System::FileTesting::soxSamples(path);
    ASSERT_GT(reference.size(), std::size_t(param.rate) / 2);
    ASSERT_LT(reference.size(), std::size_t(8 * param.rate));
    const auto expected = std::size_t(std::llround(double(reference.size()) * 16'000 / param.rate));
    std::optional<std::vector<float>> first;
    for (const auto& loader : loaders()) {
        SCOPED_TRACE(loader.name);
        const auto samples = loader.load(path.string());
        ASSERT_EQ(samples.size(), expected);
        if (param.rate == 16'000 && param.channels == 1) {
            EXPECT_TRUE(samples == reference) << "the samples differ from what sox decodes";
        }
        if (first) {
            EXPECT_TRUE(samples == *first) << "the routes load different samples";
        } else {
            first = samples;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cuts, CutFlacFiles,
                         ::testing::Values(CutCase{"MonoAFifthIn", 16'000, 1, 0.2},
                                           CutCase{"MonoNearTheMiddle", 16'000, 1, 0.43},
                                           CutCase{"MonoNearTheEnd", 16'000, 1, 0.9},
                                           CutCase{"StereoAt44kHalfway", 44'100, 2, 0.5}),
                         [](const auto& info) { return info.param.name; });

namespace {
struct UnreadableCase {
    std::string name;
    // Makes the path in the folder.
    std::function<std::filesystem::path(const TemporaryFolder&)> make;
    std::string cause; // a part of the message that says what is wrong
    friend void PrintTo(const UnreadableCase& param, std::ostream* out) { *out << param.name; }
};
class UnreadableFiles : public ::testing::TestWithParam<UnreadableCase> {};

std::filesystem::path flacCutInItsFirstFrame(const TemporaryFolder& folder, int rate) {
    const auto bytes = soxFlac(folder, "whole.flac", rate, 1, 1);
    const auto path = folder / "cut-first-frame.flac";
    System::FileTesting::writeFile(path, bytes.substr(0, firstFlacFrame(bytes) + 20));
    return path;
}
} // namespace

// Whichever route loads it, a file that gives no audio is a WhisperError (loadAudioFailed) whose message
// names the file and the cause. A FIFO is refused before it is opened: opening one waits for a writer.
TEST_P(UnreadableFiles, GiveOneErrorNamingTheFileAndTheCause) {
    const auto& param = GetParam();
    TemporaryFolder folder("audio-unreadable");
    const auto path = param.make(folder).string();
    for (const auto& loader : loaders()) {
        SCOPED_TRACE(loader.name);
        auto loading = std::async(std::launch::async, [&] {
            try {
                loader.load(path);
                ADD_FAILURE() << "loaded";
            } catch (const WhisperError& error) {
                EXPECT_EQ(error.kind(), WhisperError::Kind::loadAudioFailed);
                EXPECT_NE(error.message().find(path), std::string::npos) << error.message();
                EXPECT_NE(error.message().find(param.cause), std::string::npos) << error.message();
            } catch (const std::exception& error) {
                ADD_FAILURE() << "not a WhisperError: " << error.what();
            }
        });
        // A safety net only: a load waiting on a FIFO is let go by a writer, and the test fails.
        if (loading.wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
            ADD_FAILURE() << "the load waited for a writer";
            const int writer = ::open(path.c_str(), O_WRONLY);
            ::close(writer);
        }
        loading.get();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnreadableFiles,
    ::testing::Values(
        UnreadableCase{"Words",
                       [](const TemporaryFolder& folder) {
                           const auto path = folder / "notes.wav";
                           System::FileTesting::writeFile(path, "only words in a file with a sound name\n");
                           return path;
                       },
                       "not recognised"},
        UnreadableCase{"FlacCutInItsFirstFrame",
                       [](const TemporaryFolder& folder) { return flacCutInItsFirstFrame(folder, 16'000); },
                       "lost sync"},
        UnreadableCase{"FlacAt44kCutInItsFirstFrame",
                       [](const TemporaryFolder& folder) { return flacCutInItsFirstFrame(folder, 44'100); },
                       "lost sync"},
        UnreadableCase{"Fifo",
                       [](const TemporaryFolder& folder) {
                           const auto path = folder / "pipe.wav";
                           EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
                           return path;
                       },
                       "not a regular file"},
        UnreadableCase{"Folder",
                       [](const TemporaryFolder& folder) {
                           const auto path = folder / "folder.wav";
                           std::filesystem::create_directory(path);
                           return path;
                       },
                       "not a regular file"}),
    [](const auto& info) { return info.param.name; });
