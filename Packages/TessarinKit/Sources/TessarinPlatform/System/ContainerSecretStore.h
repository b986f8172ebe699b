#pragma once

#include "System/Concurrency/Task.h"
#include "TessarinCore/Ports/SecretStore.h"
#include "TessarinPlatform/System/SecretCache.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace TessarinPlatform {

// Secrets as small files in a private folder (mode 0700), one file per secret named by the key's raw value,
// holding the UTF-8 bytes of the secret (mode 0600 from its creation on, replaced atomically). Secrets still
// in an older store are moved out of it the first time they are read here; a hidden marker file
// (".<account>.moved") records that a secret has been stored here, after which the older store is not asked
// again. The older store keeps its item in every case. File operations run on the caller's thread.
class ContainerSecretStore final : public TessarinCore::SecretStore {
public:
    // Touches no file; the folder is made when it is first needed. `legacy` may be absent (no migration).
    ContainerSecretStore(std::filesystem::path directory, std::shared_ptr<TessarinCore::SecretStore> legacy);

    bool hasSecret(TessarinCore::SecretKey key) override;
    // Never throws: an unreadable file or a failing older store reads as absent.
    System::Concurrency::Task<std::optional<std::string>> secret(TessarinCore::SecretKey key) override;
    // Throws std::system_error when the folder or the file cannot be written; the old value then stays.
    System::Concurrency::Task<void> setSecret(std::string secret, TessarinCore::SecretKey key) override;
    // Throws std::system_error when the file exists but cannot be deleted. A removed secret stays removed:
    // the marker keeps it from coming back out of the older store.
    System::Concurrency::Task<void> removeSecret(TessarinCore::SecretKey key) override;

    const std::filesystem::path& directory() const { return directory_; }

private:
    void prepareDirectory() const;
    std::filesystem::path fileURL(TessarinCore::SecretKey key) const;
    std::filesystem::path markerURL(TessarinCore::SecretKey key) const;
    void writeMarker(TessarinCore::SecretKey key) const;
    System::Concurrency::Task<std::optional<std::string>> moveOutOfLegacy(TessarinCore::SecretKey key);

    std::filesystem::path directory_;
    std::shared_ptr<TessarinCore::SecretStore> legacy_;
    SecretCache cache_;
};

} // namespace TessarinPlatform
