#include "TessarinPlatform/System/ContainerSecretStore.h"

#include "System/Log/ErrorDescription.h"
#include "System/Log/Logger.h"
#include "System/Paths/Files.h"
#include "TessarinPlatform/System/SecretText.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace TessarinPlatform {

using System::Concurrency::Task;
using TessarinCore::SecretKey;

namespace {

const System::Log::Logger& logger() {
    static const System::Log::Logger log{"com.tessarin.Tessarin", "Secrets"};
    return log;
}

// The file's bytes; nothing when it is missing or unreadable.
std::optional<std::string> readSecretFile(const fs::path& file) {
    try {
        return System::Paths::readFile(file);
    } catch (const std::system_error&) {
        return std::nullopt;
    }
}

std::string accountOf(SecretKey key) {
    return std::string(TessarinCore::rawValue(key));
}

} // namespace

ContainerSecretStore::ContainerSecretStore(fs::path directory,
                                           std::shared_ptr<TessarinCore::SecretStore> legacy)
    : directory_(std::move(directory))
    , legacy_(std::move(legacy)) {}

void ContainerSecretStore::prepareDirectory() const {
    System::Paths::createDirectories(directory_, 0700);
}

fs::path ContainerSecretStore::fileURL(SecretKey key) const {
    return directory_ / accountOf(key);
}

fs::path ContainerSecretStore::markerURL(SecretKey key) const {
    return directory_ / ("." + accountOf(key) + ".moved");
}

void ContainerSecretStore::writeMarker(SecretKey key) const {
    // A missing marker only means the older store may be asked again, so failures are not reported.
    try {
        prepareDirectory();
    } catch (const std::system_error&) {
    }
    const int fd = open(markerURL(key).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd >= 0) {
        close(fd);
    }
}

bool ContainerSecretStore::hasSecret(SecretKey key) {
    if (cache_.value(key)) {
        return true;
    }
    std::error_code ignored;
    if (fs::exists(fileURL(key), ignored)) {
        return true;
    }
    if (fs::exists(markerURL(key), ignored) || !legacy_) {
        return false;
    }
    return legacy_->hasSecret(key);
}

Task<std::optional<std::string>> ContainerSecretStore::secret(SecretKey key) {
    if (auto value = cache_.value(key)) {
        co_return value;
    }
    if (auto bytes = readSecretFile(fileURL(key))) {
        if (auto text = secretText(std::move(*bytes)); text && !text->empty()) {
            cache_.set(key, *text);
            co_return text;
        }
    }
    std::error_code ignored;
    if (legacy_ && !fs::exists(markerURL(key), ignored) && legacy_->hasSecret(key)) {
        co_return co_await moveOutOfLegacy(key);
    }
    co_return std::nullopt;
}

// The marker is written only once the secret is safely here (or the older store holds nothing usable), so a
// secret that could not be read or stored is tried again at the next read instead of being left behind.
Task<std::optional<std::string>> ContainerSecretStore::moveOutOfLegacy(SecretKey key) {
    const std::string account = accountOf(key);
    std::optional<std::string> value;
    std::exception_ptr readError;
    try {
        value = co_await legacy_->secret(key);
    } catch (...) {
        readError = std::current_exception();
    }
    if (readError) {
        logger().error("Couldn't move {} out of the Keychain: {}", System::Log::Public(account),
                       System::Log::Public(System::Log::errorDescription(readError)));
        co_return std::nullopt;
    }
    // The read may have waited long (an unlock prompt); a set, a removal or another move that ended
    // meanwhile is newer than what the older store gave, and storing that would undo it.
    if (auto current = cache_.value(key)) {
        co_return current;
    }
    std::error_code ignored;
    if (fs::exists(markerURL(key), ignored)) {
        co_return std::nullopt;
    }
    if (!value || value->empty()) {
        writeMarker(key);
        co_return std::nullopt;
    }
    std::exception_ptr storeError;
    try {
        co_await setSecret(*value, key);
    } catch (...) {
        storeError = std::current_exception();
    }
    if (storeError) {
        // The value was read, so the caller gets it; the move is tried again at the next read.
        logger().error("Couldn't move {} out of the Keychain: {}", System::Log::Public(account),
                       System::Log::Public(System::Log::errorDescription(storeError)));
        co_return value;
    }
    logger().notice("Moved {} out of the Keychain", System::Log::Public(account));
    co_return value;
}

Task<void> ContainerSecretStore::setSecret(std::string secret, SecretKey key) {
    prepareDirectory();
    System::Paths::writeFileAtomically(fileURL(key), secret, 0600);
    cache_.set(key, secret);
    writeMarker(key);
    co_return;
}

Task<void> ContainerSecretStore::removeSecret(SecretKey key) {
    cache_.erase(key);
    const fs::path file = fileURL(key);
    if (unlink(file.c_str()) != 0 && errno != ENOENT) {
        throw std::system_error(errno, std::generic_category(),
                                "Couldn't remove the secret file " + file.string());
    }
    // Without the marker a secret never moved here would come back from the older store at the next read.
    if (legacy_) {
        writeMarker(key);
    }
    co_return;
}

} // namespace TessarinPlatform
