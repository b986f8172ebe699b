#include "FakeHotkeySource.h"

namespace TessarinCore::Fakes {

using System::Concurrency::AsyncStream;
using System::Concurrency::BufferingPolicy;

AsyncStream<HotkeyEvent> FakeHotkeySource::start(std::vector<Hotkey> monitoring) {
    if (startError) {
        std::rethrow_exception(startError);
    }
    starts.push_back(std::move(monitoring));
    if (events_) {
        events_->finish();
    }
    auto [stream, continuation] = AsyncStream<HotkeyEvent>::makeStream(BufferingPolicy::bufferingNewest(128));
    events_ = continuation;
    return std::move(stream);
}

void FakeHotkeySource::stop() {
    ++stops;
    if (events_) {
        events_->finish();
        events_.reset();
    }
}

bool FakeHotkeySource::send(HotkeyEvent event) {
    return events_ && events_->yield(std::move(event)) != System::Concurrency::YieldResult::terminated;
}

} // namespace TessarinCore::Fakes
