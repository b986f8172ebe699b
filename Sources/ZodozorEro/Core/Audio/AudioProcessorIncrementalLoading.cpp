#include "ZodozorEro/Core/Audio/AudioFileReader.h"
#include "ZodozorEro/Core/Audio/AudioLog.h"
#include "ZodozorEro/Core/Audio/AudioProcessor.h"
#include "ZodozorEro/Core/Audio/EnergyVAD.h"
#include "ZodozorEro/Utilities/WhisperError.h"

#include "System/Log/ErrorDescription.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace ZodozorEro {

namespace {

struct Reader {
    std::string path;
    ChannelMode channelMode;
    double chunkDurationSeconds;
    std::int64_t maxChunkLength;
    std::shared_ptr<const VoiceActivityDetector> vad;
    std::shared_ptr<IncrementalLoadController> controller;
    std::shared_ptr<std::atomic<bool>> cancelled;
    System::Concurrency::AsyncThrowingStream<IncrementalFileChunk>::Continuation continuation;

    // Reads slices until the pending samples are more than a piece, cuts them, and hands out the pieces
    // whose end can no longer change; the rest waits for more of the file. False when the stream ended.
    void run() {
        auto file = openAudioFile(path);
        // One reader for the whole file: slices join without a seam, as if the file had been loaded whole.
        AudioFileReader reader(file, channelMode, AudioProcessor::sampleRate,
                               AudioProcessor::defaultAudioReadFrameSize, file.length());
        const double sliceFrames =
            std::clamp(std::round(chunkDurationSeconds * file.fileFormat().sampleRate), 1.0, 0x1p40);
        const VADAudioChunker chunker(16'000, vad);
        std::vector<float> pending;
        std::int64_t sliceEnd = 0;
        std::int64_t pendingOffset = 0;
        while (!cancelled->load()) {
            while (std::int64_t(pending.size()) <= maxChunkLength && !reader.atEnd()) {
                sliceEnd += std::int64_t(sliceFrames);
                reader.readUntil(sliceEnd, pending);
            }
            if (pending.empty()) {
                return;
            }
            const bool wholeFileRead = reader.atEnd();
            std::vector<AudioChunk> pieces = chunker.chunkAll(pending, maxChunkLength);
            std::int64_t consumedEnd = 0;
            for (AudioChunk& piece : pieces) {
                // While more of the file is to come, a piece whose window reaches the end of the pending
                // samples could still end elsewhere: it and all after it wait. A window that ends exactly
                // there was cut as the end of the audio, not at its longest pause.
                if (!wholeFileRead &&
                    piece.seekOffsetIndex + maxChunkLength >= std::int64_t(pending.size())) {
                    break;
                }
                if (cancelled->load() || !controller->requestChunkSlot() || cancelled->load()) {
                    return;
                }
                consumedEnd = piece.seekOffsetIndex + std::int64_t(piece.audioSamples.size());
                piece.seekOffsetIndex += pendingOffset;
                continuation.yield(IncrementalFileChunk{
                    std::move(piece), [controller = controller] { controller->signalChunkConsumed(); }});
            }
            if (wholeFileRead) {
                return;
            }
            pending.erase(pending.begin(), pending.begin() + consumedEnd);
            pendingOffset += consumedEnd;
        }
    }
};

} // namespace

IncrementalFileStream
AudioProcessor::loadFileIncrementally(const std::string& path, const ChannelMode& channelMode,
                                      double chunkDurationSeconds, std::int64_t maxBufferedChunks,
                                      std::int64_t maxChunkLength,
                                      std::shared_ptr<const VoiceActivityDetector> vad) {
    if (!(chunkDurationSeconds > 0)) {
        throw WhisperError::loadAudioFailed("Incremental chunk duration must be greater than 0");
    }
    if (maxBufferedChunks < 1) {
        throw WhisperError::loadAudioFailed("Incremental chunk buffer size must be greater than 0");
    }
    // With pieces no longer than the chunker's padding, a cut may make no progress and the reader would cut
    // the same samples for ever.
    if (maxChunkLength <= 16'000) {
        throw WhisperError::loadAudioFailed(
            "Incremental chunks must be longer than one second (16000 samples), not " +
            std::to_string(maxChunkLength));
    }
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        throw WhisperError::loadAudioFailed("Audio file not found at path: " + path);
    }
    auto [stream, continuation] =
        System::Concurrency::AsyncThrowingStream<IncrementalFileChunk>::makeStream();
    auto controller = std::make_shared<IncrementalLoadController>(maxBufferedChunks);
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    continuation.onTermination([controller, cancelled](System::Concurrency::StreamTermination) {
        cancelled->store(true);
        controller->resumeWaitingProducers();
    });
    Reader reader{path,
                  channelMode,
                  chunkDurationSeconds,
                  maxChunkLength,
                  vad ? vad : std::make_shared<EnergyVAD>(),
                  controller,
                  cancelled,
                  continuation};
    std::thread thread([reader = std::move(reader)]() mutable {
        try {
            reader.run();
            reader.continuation.finish();
        } catch (...) {
            const auto failure = std::current_exception();
            audioLog().error("Error loading audio file incrementally: {}",
                             System::Log::Public(System::Log::errorDescription(failure)));
            reader.continuation.finish(failure);
        }
    });
    return IncrementalFileStream(std::move(stream), std::move(controller), std::move(cancelled),
                                 std::move(thread));
}

} // namespace ZodozorEro
