#include "System/Paths/Paths.h"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace System::Paths {

namespace {

std::optional<fs::path> absoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0' || value[0] != '/') {
        return std::nullopt;
    }
    return fs::path(value);
}

// One value of user-dirs.dirs: a double-quoted path that is absolute or starts with $HOME. Backslash escapes
// the next character, as the shell-style format allows.
std::optional<fs::path> parseUserDirValue(const std::string& raw) {
    if (raw.size() < 2 || raw.front() != '"' || raw.back() != '"') {
        return std::nullopt;
    }
    std::string text;
    for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 2 < raw.size()) {
            ++i;
        }
        text.push_back(raw[i]);
    }
    const std::string homePrefix = "$HOME";
    if (text.rfind(homePrefix, 0) == 0 &&
        (text.size() == homePrefix.size() || text[homePrefix.size()] == '/')) {
        std::string rest = text.substr(homePrefix.size());
        while (!rest.empty() && rest.front() == '/') {
            rest.erase(rest.begin());
        }
        return rest.empty() ? homeDirectory() : homeDirectory() / rest;
    }
    if (!text.empty() && text.front() == '/') {
        return fs::path(text);
    }
    return std::nullopt;
}

std::optional<fs::path> userDirFromFile(const std::string& name) {
    std::ifstream file(configHome() / "user-dirs.dirs");
    std::string line;
    std::optional<fs::path> found;
    while (std::getline(file, line)) {
        const auto start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        const auto equals = line.find('=', start);
        if (equals == std::string::npos || line.compare(start, equals - start, name) != 0) {
            continue;
        }
        std::string value = line.substr(equals + 1);
        value.erase(value.find_last_not_of(" \t\r") + 1);
        // The last assignment wins, as when the shell sources the file.
        if (auto path = parseUserDirValue(value)) {
            found = path;
        }
    }
    return found;
}

} // namespace

fs::path homeDirectory() {
    if (auto home = absoluteFromEnvironment("HOME")) {
        return *home;
    }
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr && result->pw_dir[0] == '/') {
        return fs::path(result->pw_dir);
    }
    // Without a home, user files would land in a shared or arbitrary folder: refuse instead.
    throw std::runtime_error("The home folder is unknown: HOME is not an absolute path and the user has no "
                             "entry in the password database.");
}

fs::path configHome() {
    return absoluteFromEnvironment("XDG_CONFIG_HOME").value_or(homeDirectory() / ".config");
}

fs::path dataHome() {
    return absoluteFromEnvironment("XDG_DATA_HOME").value_or(homeDirectory() / ".local/share");
}

fs::path documentsDirectory() {
    if (auto fromEnvironment = absoluteFromEnvironment("XDG_DOCUMENTS_DIR")) {
        return *fromEnvironment;
    }
    return userDirFromFile("XDG_DOCUMENTS_DIR").value_or(homeDirectory() / "Documents");
}

} // namespace System::Paths
