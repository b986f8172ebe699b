#include "System/Defaults/UserDefaults.h"

#include "System/Log/Logger.h"
#include "System/Paths/Files.h"
#include "System/Paths/Paths.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <system_error>

namespace fs = std::filesystem;

namespace System::Defaults {

namespace {

const Log::Logger& logger() {
    static const Log::Logger log{"com.tessarin.Tessarin", "Defaults"};
    return log;
}

// Moves the unreadable document to a fresh name beside it; never replaces an earlier copy.
std::optional<fs::path> moveAside(const fs::path& file) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    const std::string base = file.filename().string() + ".unreadable-" + stamp;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path target =
            file.parent_path() / (attempt == 0 ? base : base + "-" + std::to_string(attempt));
        if (renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            return target;
        }
        if (errno != EEXIST) {
            return std::nullopt;
        }
    }
    return std::nullopt;
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

void UserDefaults::load() {
    std::string problem;
    try {
        const auto contents = Paths::readFile(*file_);
        if (!contents) {
            return;
        }
        auto parsed = nlohmann::json::parse(*contents, nullptr, false);
        if (parsed.is_object()) {
            document_ = std::move(parsed);
            return;
        }
        problem = parsed.is_discarded() ? "not JSON" : "not a JSON object";
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
    std::lock_guard lock(mutex_);
    auto changed = document_;
    changed[key] = std::move(value);
    save(changed);
    document_ = std::move(changed);
}

void UserDefaults::remove(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (!document_.contains(key)) {
        return;
    }
    auto changed = document_;
    changed.erase(key);
    save(changed);
    document_ = std::move(changed);
}

void UserDefaults::save(const nlohmann::json& document) {
    if (!file_) {
        return;
    }
    if (refusal_) {
        throw DefaultsError(*refusal_);
    }
    std::string text;
    try {
        text = document.dump(2) + "\n";
    } catch (const nlohmann::json::exception&) {
        throw DefaultsError(
            "Parlindo couldn't save its settings: a value holds text that is not valid UTF-8.");
    }
    try {
        Paths::createDirectories(file_->parent_path(), 0700);
        Paths::writeFileAtomically(*file_, text, 0600);
    } catch (const std::system_error& error) {
        throw DefaultsError("Parlindo couldn't save its settings: " + std::string(error.what()) + ".");
    }
}

} // namespace System::Defaults
