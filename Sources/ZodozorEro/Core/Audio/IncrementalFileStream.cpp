#include "ZodozorEro/Core/Audio/IncrementalFileStream.h"

namespace ZodozorEro {

IncrementalFileStream::IncrementalFileStream(Stream stream, std::shared_ptr<IncrementalLoadController> controller,
                                             std::shared_ptr<std::atomic<bool>> cancelled, std::thread reader)
    : stream_(std::move(stream))
    , controller_(std::move(controller))
    , cancelled_(std::move(cancelled))
    , reader_(std::move(reader)) {}

IncrementalFileStream& IncrementalFileStream::operator=(IncrementalFileStream&& other) noexcept {
    if (this != &other) {
        end();
        stream_ = std::move(other.stream_);
        controller_ = std::move(other.controller_);
        cancelled_ = std::move(other.cancelled_);
        reader_ = std::move(other.reader_);
    }
    return *this;
}

IncrementalFileStream::~IncrementalFileStream() { end(); }

void IncrementalFileStream::end() {
    if (cancelled_) {
        cancelled_->store(true);
    }
    if (controller_) {
        controller_->resumeWaitingProducers();
    }
    stream_.cancel();
    if (reader_.joinable()) {
        reader_.join();
    }
}

} // namespace ZodozorEro
