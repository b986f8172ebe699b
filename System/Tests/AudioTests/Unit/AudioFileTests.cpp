#include "System/Audio/AudioFile.h"
#include "System/Audio/AudioFileWriter.h"
#include "System/Tests/FileTesting/FileTesting.h"
#include "System/Tests/FileTesting/Sox.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

using namespace System::Audio;
using System::FileTesting::TemporaryFolder;

namespace {
std::vector<std::uint8_t> bytesOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The first half of the bytes of `whole`, as a file cut in the middle at `cut`.
void writeFirstHalf(const std::filesystem::path& whole, const std::filesystem::path& cut) {
    const auto bytes = bytesOf(whole);
    std::ofstream(cut, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size() / 2));
}
} // namespace

// A file reads back as planes, from a path or from memory, and its read position moves as it is read.
TEST(AudioFile, ReadsPlanesFromPathsAndMemory) {
    TemporaryFolder folder("audio-file");
    const std::vector<float> left = {0.5f, -0.25f, 0.125f, 0.0f, 1.0f};
    const std::vector<float> right = {-0.5f, 0.25f, -0.125f, 0.75f, -1.0f};
    writeAudioFile(folder / "pair.wav", AudioFileEncoding::wavFloat32, 22'050, {left, right});
    const auto bytes = bytesOf(folder / "pair.wav");
    for (bool fromMemory : {false, true}) {
        AudioFile file =
            fromMemory ? AudioFile::openMemory(bytes, "pair") : AudioFile::open(folder / "pair.wav");
        EXPECT_EQ(file.fileFormat(), (AudioFormat{22'050, 2}));
        EXPECT_EQ(file.length(), std::optional<std::int64_t>(5));
        auto buffer = AudioPCMBuffer::make(file.processingFormat(), 3).value();
        file.setFramePosition(2);
        EXPECT_EQ(file.read(buffer, 10), 3u);
        EXPECT_EQ(std::vector<float>(buffer.channelData(0), buffer.channelData(0) + 3),
                  std::vector<float>(left.begin() + 2, left.end()));
        EXPECT_EQ(std::vector<float>(buffer.channelData(1), buffer.channelData(1) + 3),
                  std::vector<float>(right.begin() + 2, right.end()));
        EXPECT_EQ(file.framePosition(), 5);
        EXPECT_EQ(file.read(buffer, 3), 0u);
        EXPECT_THROW(file.setFramePosition(6), AudioFileError);
        EXPECT_THROW(file.setFramePosition(-1), AudioFileError);
    }
}

// A FLAC written as a stream (its header says 0 samples) and an Ogg cut short have no length the library
// knows: the file says so, and reading to the end gives every frame sox decodes.
TEST(AudioFile, FilesOfUnknownLengthReadToTheEndOfTheirData) {
    TemporaryFolder folder("audio-file-unknown");
    const auto streamed = folder / "streamed.flac";
    System::FileTesting::runCommand("sox -n -r 44100 -c 2 -t flac - synth 3.3 sine 440 | cat > " +
                                    System::FileTesting::quoted(streamed));
    const auto ogg = folder / "whole.ogg";
    System::FileTesting::runCommand("sox -n -r 44100 -c 2 " + System::FileTesting::quoted(ogg) +
                                    " synth 8 sine 440");
    const auto cut = folder / "cut.ogg";
    writeFirstHalf(ogg, cut);
    for (const auto& path : {streamed, cut}) {
        AudioFile file = AudioFile::open(path);
        EXPECT_FALSE(file.length()) << path;
        auto buffer = AudioPCMBuffer::make(file.processingFormat(), 10'000).value();
        std::int64_t frames = 0;
        while (const auto read = file.read(buffer, 10'000)) {
            frames += read;
        }
        EXPECT_GT(frames, 44'100) << path;
        EXPECT_EQ(frames, System::FileTesting::soxFrameCount(path)) << path;
        EXPECT_EQ(file.framePosition(), frames);
    }
}

TEST(AudioFile, ErrorsNameTheFile) {
    TemporaryFolder folder("audio-file-errors");
    try {
        AudioFile::open(folder / "absent.flac");
        ADD_FAILURE();
    } catch (const AudioFileError& error) {
        EXPECT_EQ(error.code(), AudioFileError::Code::notFound);
        EXPECT_EQ(error.description(),
                  "The audio file \"" + (folder / "absent.flac").string() + "\" does not exist.");
    }
    const std::vector<std::uint8_t> junk = {'R', 'I', 'F', 'F', 1, 2, 3};
    try {
        AudioFile::openMemory(junk, "junk.wav");
        ADD_FAILURE();
    } catch (const AudioFileError& error) {
        EXPECT_EQ(error.code(), AudioFileError::Code::unreadable);
        EXPECT_EQ(error.description().rfind("The audio file \"junk.wav\" can't be read: ", 0), 0u)
            << error.description();
    }
}

TEST(AudioPCMBuffer, AppendsWhatFitsAndRefusesWhatTheSourceLacks) {
    const AudioFormat mono{16'000, 1};
    auto source = AudioPCMBuffer::make(mono, 4).value();
    for (std::uint32_t i = 0; i < 4; ++i) {
        source.channelData(0)[i] = float(i + 1);
    }
    source.setFrameLength(4);
    auto target = AudioPCMBuffer::make(mono, 5).value();
    EXPECT_TRUE(target.appendContents(source, 1, 3));
    EXPECT_FALSE(target.appendContents(source, 2, 3));
    EXPECT_FALSE(target.appendContents(AudioPCMBuffer::make(AudioFormat{16'000, 2}, 4).value(), 0, 0));
    EXPECT_TRUE(target.appendContents(source, 0, 4)); // only two fit
    EXPECT_EQ(target.frameLength(), 5u);
    EXPECT_EQ(std::vector<float>(target.channelData(0), target.channelData(0) + 5),
              (std::vector<float>{2, 3, 4, 1, 2}));
}

// A FLAC cut in its data reads up to the cut, as many frames as sox decodes, also when the cut falls inside
// a read; then the file says why it ended and gives nothing more, until it is read again from a position.
TEST(AudioFile, AFlacCutInItsDataReadsUpToTheCutAndSaysWhy) {
    TemporaryFolder folder("audio-file-cut");
    const auto whole = folder / "whole.flac";
    System::FileTesting::runCommand("sox -n -r 16000 -c 1 -b 16 " + System::FileTesting::quoted(whole) +
                                    " synth 8 sine 440 vol 0.5");
    const auto cut = folder / "cut.flac";
    writeFirstHalf(whole, cut);
    const auto expected = System::FileTesting::soxFrameCount(cut);
    ASSERT_GT(expected, 16'000);
    ASSERT_LT(expected, 8 * 16'000);

    AudioFile file = AudioFile::open(cut);
    EXPECT_EQ(file.length(), std::optional<std::int64_t>(8 * 16'000));
    EXPECT_EQ(file.byteSize(), std::int64_t(std::filesystem::file_size(cut)));
    auto buffer = AudioPCMBuffer::make(file.processingFormat(), 1'000).value();
    std::int64_t frames = 0;
    while (const auto read = file.read(buffer, 1'000)) {
        frames += read;
    }
    EXPECT_EQ(frames, expected);
    ASSERT_TRUE(file.damage());
    EXPECT_NE(file.damage()->find("lost sync"), std::string::npos) << *file.damage();
    EXPECT_EQ(file.read(buffer, 1'000), 0u);

    file.setFramePosition(0);
    EXPECT_FALSE(file.damage());
    EXPECT_EQ(file.read(buffer, 1'000), 1'000u);
}

// Only regular files are opened, also through a link; a folder is refused as no regular file.
TEST(AudioFile, OpensRegularFilesOnly) {
    TemporaryFolder folder("audio-file-regular");
    writeAudioFile(folder / "tone.wav", AudioFileEncoding::wavInt16, 16'000, {std::vector<float>(160, 0.5f)});
    std::filesystem::create_symlink(folder / "tone.wav", folder / "link.wav");
    EXPECT_EQ(AudioFile::open(folder / "link.wav").length(), std::optional<std::int64_t>(160));
    std::filesystem::create_directory(folder / "folder.wav");
    try {
        AudioFile::open(folder / "folder.wav");
        ADD_FAILURE();
    } catch (const AudioFileError& error) {
        EXPECT_EQ(error.code(), AudioFileError::Code::unreadable);
        EXPECT_EQ(error.description(), "The audio file \"" + (folder / "folder.wav").string() +
                                           "\" can't be read: it is not a regular file.");
    }
}
