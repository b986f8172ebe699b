#include "FakeAudioRecorder.h"

namespace TessarinCore::Fakes {

using System::Concurrency::AsyncStream;
using System::Concurrency::Task;

Task<void> FakeAudioRecorder::prepare() {
    return preparing.call([] {});
}

Task<AsyncStream<AudioChunk>> FakeAudioRecorder::start() {
    co_await starting.call([] {});
    if (chunks_) {
        chunks_->finish();
    }
    auto [stream, continuation] = AsyncStream<AudioChunk>::makeStream();
    chunks_ = continuation;
    recorded_.clear();
    co_return std::move(stream);
}

Task<AudioClip> FakeAudioRecorder::stop() {
    AudioClip clip = co_await stopping.call([this] { return AudioClip{recorded_}; });
    if (chunks_) {
        chunks_->finish();
        chunks_.reset();
    }
    co_return clip;
}

bool FakeAudioRecorder::speak(AudioChunk chunk) {
    if (!chunks_) {
        return false;
    }
    recorded_.insert(recorded_.end(), chunk.samples.begin(), chunk.samples.end());
    chunks_->yield(std::move(chunk));
    return true;
}

} // namespace TessarinCore::Fakes
