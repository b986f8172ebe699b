#pragma once

// Feeding the pipe source of scripts/testenv/with-pulseaudio (48 kHz stereo s16le,
// PARLINDO_TEST_PIPE_SOURCE): whatever is written into it is what a client records, as fast as it is written.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

inline void feedPipe(const std::vector<char>& bytes) {
    const char* path = std::getenv("PARLINDO_TEST_PIPE_SOURCE");
    ASSERT_NE(path, nullptr) << "run this under scripts/testenv/with-pulseaudio";
    const int fd = ::open(path, O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        ASSERT_GT(n, 0);
        written += std::size_t(n);
    }
    ::close(fd);
}

// `seconds` of a 440 Hz tone at a tenth of full scale, in the pipe's format.
inline std::vector<char> toneBytes(double seconds) {
    std::vector<char> bytes;
    const auto frames = std::size_t(seconds * 48'000);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto value =
            std::int16_t(std::lround(3'276.0 * std::sin(2 * M_PI * 440.0 * double(i) / 48'000)));
        for (int channel = 0; channel < 2; ++channel) {
            bytes.push_back(char(value & 0xff));
            bytes.push_back(char((value >> 8) & 0xff));
        }
    }
    return bytes;
}

// Keeps sound flowing into the pipe until destroyed. The daemon stops reading once nobody records, so the
// writes don't block.
class ContinuousTone {
public:
    ContinuousTone()
        : thread_([this] { run(); }) {}
    ~ContinuousTone() {
        stopped_ = true;
        thread_.join();
    }
    ContinuousTone(const ContinuousTone&) = delete;
    ContinuousTone& operator=(const ContinuousTone&) = delete;

private:
    void run() {
        const char* path = std::getenv("PARLINDO_TEST_PIPE_SOURCE");
        ASSERT_NE(path, nullptr) << "run this under scripts/testenv/with-pulseaudio";
        const int fd = ::open(path, O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0) << path;
        const auto chunk = toneBytes(0.1);
        std::size_t offset = 0;
        while (!stopped_) {
            const ssize_t n = ::write(fd, chunk.data() + offset, chunk.size() - offset);
            if (n > 0) {
                offset = (offset + std::size_t(n)) % chunk.size();
            }
            // Pacing only: the daemon reads as fast as it is fed.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::close(fd);
    }

    std::atomic<bool> stopped_{false};
    std::thread thread_;
};
