#include "System/Defaults/UserDefaults.h"

#include "System/Json/BoundedJson.h"
#include "System/Log/Logger.h"
#include "System/Paths/Files.h"
#include "System/Paths/Paths.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace System::Defaults {

namespace {

const Log::Logger& logger() {
    static const Log::Logger log{"com.tessarin.Tessarin", "Defaults"};
    return log;
}

// Puts something beside `file` under a fresh ".unreadable-" name: `place(target)` returns 0 or an errno,
// EEXIST meaning the name is taken. Never replaces an earlier copy. The target, or nothing with the errno.
template <class Place>
std::optional<fs::path> putAside(const fs::path& file, Place place, int& failure) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = file.filename().string() + ".unreadable-" + stamp;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path target =
            file.parent_path() / (attempt == 0 ? base : base + "-" + std::to_string(attempt));
        failure = place(target);
        if (failure == 0) {
            return target;
        }
        if (failure != EEXIST) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<fs::path> moveAside(const fs::path& file) {
    const auto move = [&](const fs::path& target) {
        const bool moved = renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0;
        return moved ? 0 : errno;
    };
    int failure = 0;
    return putAside(file, move, failure);
}

// Writes `contents` to `target`, which must not exist yet; 0 or an errno. A failed copy leaves nothing.
int writeNewFile(const fs::path& target, std::string_view contents) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    int failure = 0;
    while (!contents.empty()) {
        const ssize_t written = ::write(fd, contents.data(), contents.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            failure = errno;
            break;
        }
        contents.remove_prefix(static_cast<std::size_t>(written));
    }
    if (failure == 0 && ::fsync(fd) != 0) {
        failure = errno;
    }
    if (::close(fd) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure != 0) {
        ::unlink(target.c_str());
    }
    return failure;
}

} // namespace

UserDefaults::UserDefaults() = default;

UserDefaults::UserDefaults(fs::path file)
    : file_(std::move(file)) {
    load();
}

fs::path UserDefaults::standardFile() {
    return Paths::configHome() / "parlindo" / "defaults.json";
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    static const auto shared = std::make_shared<UserDefaults>(standardFile());
    return shared;
}

nlohmann::json UserDefaults::readDocument(std::string_view text) {
    nlohmann::json document;
    try {
        document = Json::parse(text, kMaxDepth);
    } catch (const Json::JsonError& error) {
        throw DefaultsError(error.description());
    }
    if (!document.is_object()) {
        throw DefaultsError("The document is not a JSON object.");
    }
    return document;
}

std::string UserDefaults::documentText(const nlohmann::json& document) {
    std::string text = "{";
    try {
        for (const auto& [key, value] : document.items()) {
            text += text.size() == 1 ? "\n  " : ",\n  ";
            text += nlohmann::json(key).dump();
            text += ": ";
            text += value.dump();
        }
    } catch (const nlohmann::json::exception&) {
        throw DefaultsError(
            "Parlindo couldn't save its settings: a value holds text that is not valid UTF-8.");
    }
    text += text.size() == 1 ? "}\n" : "\n}\n";
    return text;
}

void UserDefaults::load() {
    std::string problem;
    try {
        const auto contents = Paths::readFile(*file_);
        if (!contents) {
            return;
        }
        document_ = readDocument(*contents);
        return;
    } catch (const DefaultsError& error) {
        problem = error.description();
    } catch (const std::system_error& error) {
        problem = error.code().message();
    }
    if (auto aside = moveAside(*file_)) {
        logger().error("The defaults at {} were unreadable ({}); kept them as {} and started afresh",
                       Log::Public(file_->string()), Log::Public(problem), Log::Public(aside->string()));
        return;
    }
    refusal_ =
        "The settings file " + file_->string() + " can't be read (" + problem +
        ") and couldn't be moved aside, so Parlindo won't overwrite it. Move or repair it, then try again.";
    logger().error("{}", Log::Public(*refusal_));
}

std::optional<nlohmann::json> UserDefaults::value(const std::string& key) const {
    std::lock_guard lock(mutex_);
    const auto found = document_.find(key);
    if (found == document_.end()) {
        return std::nullopt;
    }
    return *found;
}

void UserDefaults::set(const std::string& key, nlohmann::json value) {
    // The document itself is one level more.
    if (Json::depth(value) >= kMaxDepth) {
        throw DefaultsError("Parlindo couldn't save its settings: the value for \"" + key +
                            "\" nests more than " + std::to_string(kMaxDepth - 1) +
                            " levels of lists and objects.");
    }
    std::lock_guard lock(mutex_);
    // Changed in place and put back on failure, so no save copies the whole document.
    std::optional<nlohmann::json> previous;
    if (const auto found = document_.find(key); found != document_.end()) {
        previous = std::move(*found);
    }
    document_[key] = std::move(value);
    try {
        save();
    } catch (...) {
        if (previous) {
            document_[key] = std::move(*previous);
        } else {
            document_.erase(key);
        }
        throw;
    }
}

void UserDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto found = document_.find(key);
    if (found == document_.end()) {
        return;
    }
    nlohmann::json previous = std::move(*found);
    document_.erase(key);
    try {
        save();
    } catch (...) {
        document_[key] = std::move(previous);
        throw;
    }
}

std::optional<fs::path> UserDefaults::keepCopy() const {
    if (!file_) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    std::optional<std::string> contents;
    try {
        contents = Paths::readFile(*file_);
    } catch (const std::system_error& error) {
        throw DefaultsError("Parlindo couldn't keep a copy of its settings: " + std::string(error.what()) +
                            ".");
    }
    if (!contents) {
        return std::nullopt;
    }
    int failure = 0;
    auto copy = putAside(
        *file_, [&](const fs::path& target) { return writeNewFile(target, *contents); }, failure);
    if (!copy) {
        throw DefaultsError("Parlindo couldn't keep a copy of its settings file " + file_->string() + ": " +
                            std::generic_category().message(failure) + ".");
    }
    return copy;
}

void UserDefaults::save() const {
    if (!file_) {
        return;
    }
    if (refusal_) {
        throw DefaultsError(*refusal_);
    }
    const std::string text = documentText(document_);
    try {
        Paths::createDirectories(file_->parent_path(), 0700);
        Paths::writeFileAtomically(*file_, text, 0600);
    } catch (const std::system_error& error) {
        throw DefaultsError("Parlindo couldn't save its settings: " + std::string(error.what()) + ".");
    }
}

} // namespace System::Defaults
