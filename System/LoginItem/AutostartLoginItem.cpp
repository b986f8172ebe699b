#include "System/LoginItem/AutostartLoginItem.h"

#include "System/Paths/Files.h"
#include "System/Paths/Paths.h"

#include <map>
#include <optional>
#include <sstream>
#include <system_error>
#include <unistd.h>

namespace System::LoginItem {

namespace fs = std::filesystem;

namespace {

// The keys of the [Desktop Entry] group, values with the string escapes (\s \n \t \r \\) undone; nothing when
// the file is missing, and a std::system_error when it cannot be read.
std::optional<std::map<std::string, std::string>> readDesktopEntry(const fs::path& file) {
    const auto contents = Paths::readFile(file);
    if (!contents) {
        return std::nullopt;
    }
    std::map<std::string, std::string> keys;
    bool inGroup = false;
    std::istringstream lines(*contents);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            inGroup = line == "[Desktop Entry]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inGroup || equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals);
        while (!key.empty() && key.back() == ' ') {
            key.pop_back();
        }
        const auto start = line.find_first_not_of(' ', equals + 1);
        const std::string raw = start == std::string::npos ? std::string() : line.substr(start);
        std::string value;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] != '\\' || i + 1 == raw.size()) {
                value += raw[i];
                continue;
            }
            const char next = raw[++i];
            value += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next;
        }
        keys.emplace(std::move(key), std::move(value));
    }
    return keys;
}

bool isFalse(const std::map<std::string, std::string>& keys, const std::string& key) {
    const auto found = keys.find(key);
    return found != keys.end() && found->second == "false";
}

bool isTrue(const std::map<std::string, std::string>& keys, const std::string& key) {
    const auto found = keys.find(key);
    return found != keys.end() && found->second == "true";
}

// The string escapes of a desktop-entry value, applied after the Exec quoting.
std::string escapeValue(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

AutostartLoginItem::AutostartLoginItem(std::string identifier, std::string displayName, fs::path executable,
                                       fs::path autostartDirectory, Environment environment)
    : displayName_(std::move(displayName))
    , executable_(std::move(executable))
    , environment_(std::move(environment))
    , directory_(std::move(autostartDirectory))
    , entryFile_(directory_ / (identifier + ".desktop")) {
    if (identifier.empty() || identifier.find('/') != std::string::npos) {
        throw LoginItemError("The login item's identifier \"" + identifier + "\" can't name a file.");
    }
}

fs::path AutostartLoginItem::defaultDirectory() {
    return Paths::configHome() / "autostart";
}

Status AutostartLoginItem::status() const {
    std::error_code error;
    if (!fs::exists(entryFile_, error)) {
        return Status::notRegistered;
    }
    std::optional<std::map<std::string, std::string>> keys;
    try {
        keys = readDesktopEntry(entryFile_);
    } catch (const std::system_error&) {
        // An entry that is there but can't be read can't start anything either.
        return Status::notFound;
    }
    if (!keys) {
        return Status::notRegistered;
    }
    if (isTrue(*keys, "Hidden") || isFalse(*keys, "X-GNOME-Autostart-enabled")) {
        return Status::notRegistered;
    }
    const auto exec = keys->find("Exec");
    const std::string program = exec == keys->end() ? std::string() : desktopExecProgram(exec->second);
    if (program.empty()) {
        return Status::notFound;
    }
    // A bare name is looked up on the session's PATH at login; only an absolute one can be checked here.
    if (fs::path(program).is_absolute() && ::access(program.c_str(), X_OK) != 0) {
        return Status::notFound;
    }
    return Status::enabled;
}

void AutostartLoginItem::registerItem() {
    if (executable_.empty()) {
        throw LoginItemError("Open at login needs the application's location, which is unknown.");
    }
    const std::string contents = "[Desktop Entry]\n"
                                 "Type=Application\n"
                                 "Version=1.0\n"
                                 "Name=" +
                                 escapeValue(displayName_) +
                                 "\n"
                                 "Exec=" +
                                 escapeValue(execValue()) +
                                 "\n"
                                 "Terminal=false\n"
                                 "X-GNOME-Autostart-enabled=true\n";
    try {
        fs::create_directories(directory_);
        Paths::writeFileAtomically(entryFile_, contents, 0644);
    } catch (const std::exception& failure) {
        throw LoginItemError("The login item couldn't be written: " + std::string(failure.what()));
    }
}

std::string AutostartLoginItem::execValue() const {
    if (environment_.empty()) {
        return desktopExecValue(executable_);
    }
    std::vector<std::string> arguments;
    for (const auto& [name, value] : environment_) {
        arguments.push_back(name + "=" + value);
    }
    arguments.push_back(executable_.string());
    return "env " + desktopExecValue(arguments);
}

bool AutostartLoginItem::isCurrent() const {
    std::optional<std::map<std::string, std::string>> keys;
    try {
        keys = readDesktopEntry(entryFile_);
    } catch (const std::system_error&) {
        return false;
    }
    if (!keys) {
        return true;
    }
    const auto exec = keys->find("Exec");
    return exec != keys->end() && desktopExecArguments(exec->second) == desktopExecArguments(execValue());
}

void AutostartLoginItem::unregister() {
    std::error_code error;
    fs::remove(entryFile_, error);
    if (error) {
        throw LoginItemError("The login item couldn't be removed: " + error.message());
    }
}

std::string desktopExecValue(const fs::path& program) {
    std::string quoted = "\"";
    for (const char c : program.string()) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
        if (c == '%') {
            quoted += '%';
        }
    }
    quoted += '"';
    return quoted;
}

std::string desktopExecValue(const std::vector<std::string>& arguments) {
    std::string line;
    for (const auto& argument : arguments) {
        line += (line.empty() ? "" : " ") + desktopExecValue(fs::path(argument));
    }
    return line;
}

std::vector<std::string> desktopExecArguments(const std::string& execValue) {
    std::vector<std::string> arguments;
    std::size_t i = 0;
    while ((i = execValue.find_first_not_of(' ', i)) != std::string::npos) {
        std::string argument;
        const bool quoted = execValue[i] == '"';
        i += quoted ? 1 : 0;
        for (; i < execValue.size(); ++i) {
            const char c = execValue[i];
            if (quoted && c == '"') {
                ++i;
                break;
            }
            if (!quoted && c == ' ') {
                break;
            }
            if (quoted && c == '\\' && i + 1 < execValue.size()) {
                argument += execValue[++i];
            } else if (c == '%' && i + 1 < execValue.size() && execValue[i + 1] == '%') {
                argument += '%';
                ++i;
            } else {
                argument += c;
            }
        }
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

std::string desktopExecProgram(const std::string& execValue) {
    const std::vector<std::string> arguments = desktopExecArguments(execValue);
    std::size_t program = 0;
    if (!arguments.empty() && fs::path(arguments.front()).filename() == "env") {
        program = 1;
        while (program < arguments.size() && arguments[program].find('=') != std::string::npos) {
            ++program;
        }
    }
    return program < arguments.size() ? arguments[program] : std::string();
}

} // namespace System::LoginItem
