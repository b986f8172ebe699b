#pragma once

#include "System/Concurrency/AsyncThrowingStream.h"
#include "ZodozorEro/Core/Audio/AudioChunker.h"
#include "ZodozorEro/Core/Audio/IncrementalLoadController.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace ZodozorEro {

// A piece of a file being loaded incrementally. Call `completionSignal` once when the piece has been taken:
// it lets the loader hand out the next one. Callable from any thread.
struct IncrementalFileChunk {
    AudioChunk audioChunk; // seekOffsetIndex counts 16 kHz samples from the start of the file
    std::function<void()> completionSignal;
};

// The pieces of a file, read and cut by a reader thread of the stream's own while the consumer takes them.
// Ending the stream (cancel(), or destroying it) stops the reader; destruction waits for it, so nothing
// outlives the stream.
class IncrementalFileStream {
public:
    IncrementalFileStream(IncrementalFileStream&& other) noexcept = default;
    IncrementalFileStream& operator=(IncrementalFileStream&& other) noexcept;
    IncrementalFileStream(const IncrementalFileStream&) = delete;
    IncrementalFileStream& operator=(const IncrementalFileStream&) = delete;
    ~IncrementalFileStream();

    // The next piece; nothing once the file is done or the stream was ended. Rethrows what stopped the
    // reader (an unreadable file, say) after the pieces handed out before it. The stream must outlive the
    // returned task.
    System::Concurrency::Task<std::optional<IncrementalFileChunk>> next() { return stream_.next(); }
    // Ends the stream: pieces not yet taken are dropped and the reader stops.
    void cancel() { stream_.cancel(); }

    const IncrementalLoadController& controller() const { return *controller_; }

private:
    friend class AudioProcessor;
    using Stream = System::Concurrency::AsyncThrowingStream<IncrementalFileChunk>;

    IncrementalFileStream(Stream stream, std::shared_ptr<IncrementalLoadController> controller,
                          std::shared_ptr<std::atomic<bool>> cancelled, std::thread reader);
    void end();

    Stream stream_;
    std::shared_ptr<IncrementalLoadController> controller_;
    std::shared_ptr<std::atomic<bool>> cancelled_;
    std::thread reader_;
};

} // namespace ZodozorEro
