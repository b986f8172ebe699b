#pragma once

#include <chrono>
#include <thread>

// Waits until the condition holds, checking every few milliseconds; false when it still does not after ten
// seconds. For what another process or thread brings about in its own time.
template <class Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
