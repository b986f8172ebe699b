#pragma once

// The sox command as a reference for audio tests: it writes files the project's own writer cannot (streams
// whose header never learnt their length, Ogg Vorbis) and says how many frames a file really holds.
// scripts/setup installs it.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace System::FileTesting {

inline std::string quoted(const std::filesystem::path& path) {
    std::string text = "'";
    for (char c : path.string()) {
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return text + "'";
}

// Runs a shell command line; throws std::runtime_error naming it when it fails.
inline void runCommand(const std::string& command) {
    if (std::system((command + " 2>/dev/null").c_str()) != 0) {
        throw std::runtime_error("Failed: " + command + " (scripts/setup installs sox)");
    }
}

// The frames sox decodes from `path` (read to the end, whatever the header says).
inline std::int64_t soxFrameCount(const std::filesystem::path& path) {
    const std::string command = "sox " + quoted(path) + " -c 1 -t f32 - 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        throw std::runtime_error("Failed: " + command);
    }
    std::int64_t bytes = 0;
    char chunk[65'536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        bytes += std::int64_t(n);
    }
    if (pclose(pipe) != 0) {
        throw std::runtime_error("Failed: " + command + " (scripts/setup installs sox)");
    }
    return bytes / 4;
}

} // namespace System::FileTesting
