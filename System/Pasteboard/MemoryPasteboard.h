#pragma once

#include "System/Pasteboard/Pasteboard.h"
#include "System/Pasteboard/PasteboardError.h"

#include <mutex>

namespace System::Pasteboard {

// A pasteboard in memory, for tests: reads answer at once, on the caller's thread.
class MemoryPasteboard final : public Pasteboard {
public:
    AccessBehavior accessBehavior() override {
        std::lock_guard lock(mutex_);
        return behavior_;
    }
    std::int64_t changeCount() override {
        std::lock_guard lock(mutex_);
        return changeCount_;
    }
    std::int64_t setContents(std::vector<PasteboardItem> items) override {
        std::lock_guard lock(mutex_);
        if (refusesWrites_) {
            throw PasteboardError(PasteboardError::Kind::writeRefused, "");
        }
        items_ = std::move(items);
        ++writes_;
        return ++changeCount_;
    }
    void readContents(std::function<void(std::vector<PasteboardItem>)> done) override {
        std::unique_lock lock(mutex_);
        auto items = items_;
        ++reads_;
        lock.unlock();
        done(std::move(items));
    }

    // Makes every write fail as a clipboard that the system would not hand over.
    void setRefusesWrites(bool refuses) {
        std::lock_guard lock(mutex_);
        refusesWrites_ = refuses;
    }
    void setAccessBehavior(AccessBehavior behavior) {
        std::lock_guard lock(mutex_);
        behavior_ = behavior;
    }
    // How many times the contents were read and written.
    int reads() {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    int writes() {
        std::lock_guard lock(mutex_);
        return writes_;
    }

private:
    std::mutex mutex_;
    AccessBehavior behavior_ = AccessBehavior::standard;
    bool refusesWrites_ = false;
    std::vector<PasteboardItem> items_;
    std::int64_t changeCount_ = 0;
    int reads_ = 0;
    int writes_ = 0;
};

} // namespace System::Pasteboard
