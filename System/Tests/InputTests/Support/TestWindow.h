#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A small focused X window, run on its own thread and connection, that behaves like a text field: typed
// keys are decoded through the X input method and appended as UTF-8; Control-V asks the CLIPBOARD owner for
// UTF8_STRING and appends what comes back. It takes the keyboard focus when it is created.
class TestWindow {
public:
    TestWindow();
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    // The X window id.
    unsigned long window() const { return window_; }
    std::string text() const;
    // The keysym of every key press the window received, in order.
    std::vector<unsigned long> keySymsPressed() const;
    int pasteCount() const;
    // Waits until the text equals `expected` (true) or the deadline passes (false).
    bool waitForText(const std::string& expected,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until the text satisfies `done` (true) or the deadline passes (false).
    bool waitForText(const std::function<bool(const std::string&)>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Waits until `count` pastes have been answered by the clipboard owner.
    bool waitForPastes(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void clear();

private:
    struct Impl;
    void run();

    std::unique_ptr<Impl> impl_;
    unsigned long window_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string text_;
    std::vector<unsigned long> keySyms_;
    int pastes_ = 0;
    std::thread thread_;
};
