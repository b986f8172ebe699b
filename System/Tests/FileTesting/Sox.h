#pragma once

// The sox command as a reference for audio tests: it writes files the project's own writer cannot (streams
// whose header never learnt their length, Ogg Vorbis) and says how many frames a file really holds.
// scripts/setup installs it.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

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

// The samples sox decodes from `path` (read to the end, whatever the header says; channels mixed into one).
inline std::vector<float> soxSamples(const std::filesystem::path& path) {
    const std::string command = "sox " + quoted(path) + " -c 1 -t f32 - 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        throw std::runtime_error("Failed: " + command);
    }
    std::vector<float> samples;
    float chunk[16'384];
    for (std::size_t n; (n = std::fread(chunk, sizeof(float), std::size(chunk), pipe)) > 0;) {
        samples.insert(samples.end(), chunk, chunk + n);
    }
    if (pclose(pipe) != 0) {
        throw std::runtime_error("Failed: " + command + " (scripts/setup installs sox)");
    }
    return samples;
}

// The frames sox decodes from `path`.
inline std::int64_t soxFrameCount(const std::filesystem::path& path) {
    return std::int64_t(soxSamples(path).size());
}

} // namespace System::FileTesting
