// Runs inside scripts/testenv/with-pulseaudio: the daemon's default source is a 48 kHz stereo s16le pipe
// (PARLINDO_TEST_PIPE_SOURCE). Speech made by espeak-ng is fed into it while the real recorder records; the
// on-device engine then transcribes the recording. The recognizer is weak on synthetic speech, so only
// non-blank English text is expected, never particular words.
#include "System/Concurrency/BlockingRun.h"
#include "System/Speech/PocketSphinxBackend.h"
#include "System/Tests/AudioTesting/PipeSource.h"
#include "TessarinPlatform/Audio/AVAudioEngineRecorder.h"
#include "TessarinPlatform/Speech/AppleSpeechTranscriber.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <unistd.h>

using namespace TessarinPlatform;
using TessarinCore::AudioChunk;
using TessarinCore::AudioClip;
using TessarinCore::DictationLanguage;
namespace Con = System::Concurrency;
namespace fs = std::filesystem;

namespace {

// What the pipe source takes: 48 kHz, two channels, 16-bit little-endian.
constexpr std::size_t pipeFrameBytes = 4;

struct Speech {
    std::vector<char> pipeBytes; // ready for the pipe
    std::size_t frames16k = 0;   // its length once recorded at 16 kHz
};

// Speaks `text` with espeak-ng and converts it with sox to the pipe's format.
Speech makeSpeech(const std::string& text) {
    const fs::path folder = fs::temp_directory_path() / ("parlindo-speech-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    const fs::path wav = folder / "speech.wav";
    const fs::path raw = folder / "speech.raw";
    const std::string speak = "espeak-ng -w '" + wav.string() + "' '" + text + "'";
    const std::string convert =
        "sox '" + wav.string() + "' -r 48000 -c 2 -b 16 -e signed-integer -t raw '" + raw.string() + "'";
    EXPECT_EQ(std::system(speak.c_str()), 0) << speak;
    EXPECT_EQ(std::system(convert.c_str()), 0) << convert;
    std::ifstream file(raw, std::ios::binary);
    Speech speech;
    speech.pipeBytes.assign(std::istreambuf_iterator<char>(file), {});
    speech.frames16k = speech.pipeBytes.size() / pipeFrameBytes / 3;
    fs::remove_all(folder);
    return speech;
}

Con::Task<void> collect(Con::AsyncStream<AudioChunk> stream, std::vector<AudioChunk>& chunks,
                        std::atomic<std::size_t>& frames) {
    while (auto chunk = co_await stream.next()) {
        frames += chunk->samples.size();
        chunks.push_back(std::move(*chunk));
    }
}

Con::Task<TessarinCore::Transcript> transcribe(AppleSpeechTranscriber& engine, std::vector<AudioChunk> chunks,
                                               AudioClip clip) {
    co_await engine.prepare(DictationLanguage::english);
    auto session = co_await engine.beginSession(TessarinCore::TranscriptionConfig{
        DictationLanguage::english, std::nullopt, "gpt-transcribe", "whisper-large-v3"});
    for (auto& chunk : chunks) {
        co_await session->append(std::move(chunk));
    }
    co_return co_await session->finish(std::move(clip));
}

} // namespace

TEST(DictationAudioIntegrationTest, RecordsSpeechFromTheMicrophoneAndTranscribesIt) {
    const Speech speech = makeSpeech("Hello world. This is a test of the dictation system on Linux.");
    ASSERT_GT(speech.frames16k, 16'000u) << "espeak-ng made less than a second of speech";

    AVAudioEngineRecorder recorder;
    Con::blockingRun(recorder.prepare());
    auto stream = Con::blockingRun(recorder.start());

    std::vector<AudioChunk> chunks;
    std::atomic<std::size_t> frames{0};
    std::thread consumer([&] { Con::blockingRun(collect(std::move(stream), chunks, frames)); });
    std::thread feeder([&] { feedPipe(speech.pipeBytes); });
    feeder.join();
    // All of it arrives but the last partial 1024-frame block (at most 341 frames at 16 kHz) and the few
    // milliseconds the resampler still holds. The pipe source reads as fast as it is fed; stopping before
    // that much has come would cut the recording short.
    const std::size_t arriving = speech.frames16k - 341 - 256;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (frames < arriving && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const AudioClip clip = Con::blockingRun(recorder.stop());
    consumer.join();

    EXPECT_LE(clip.samples.size(), speech.frames16k);
    EXPECT_GE(clip.samples.size(), arriving);
    std::vector<float> joined;
    for (const auto& chunk : chunks) {
        joined.insert(joined.end(), chunk.samples.begin(), chunk.samples.end());
    }
    EXPECT_EQ(joined, clip.samples);
    float peak = 0;
    for (float sample : clip.samples) {
        peak = std::max(peak, std::abs(sample));
    }
    EXPECT_GT(peak, 0.05f) << "the recording holds no speech";

    AppleSpeechTranscriber engine;
    const auto transcript = Con::blockingRun(transcribe(engine, std::move(chunks), clip));
    EXPECT_FALSE(transcript.isBlank()) << "the engine heard nothing";
    EXPECT_EQ(transcript.languageCode, "en");
    EXPECT_EQ(transcript.engine, TessarinCore::EngineID::appleSpeech);
    std::printf("Recognised: %s\n", transcript.text.c_str());
}

TEST(DictationAudioIntegrationTest, SupportsOnlyTheInstalledEnglishModel) {
    System::Speech::PocketSphinxBackend backend;
    EXPECT_EQ(backend.supportedLocales(System::Speech::ModuleKind::transcription),
              (std::vector<System::Speech::Locale>{System::Speech::Locale("en-US")}));
    AppleSpeechTranscriber engine;
    EXPECT_THROW(Con::blockingRun(engine.beginSession(TessarinCore::TranscriptionConfig{
                     DictationLanguage::arabic, std::nullopt, "gpt-transcribe", "whisper-large-v3"})),
                 AppleSpeechTranscriber::TranscriberError);
}
