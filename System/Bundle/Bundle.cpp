#include "System/Bundle/Bundle.h"

#include <system_error>

namespace System::Bundle {

Bundle::Bundle(InfoDictionary info, std::filesystem::path executablePath)
    : info_(std::move(info))
    , executablePath_(std::move(executablePath)) {}

const Bundle& Bundle::main() {
    static const Bundle bundle(buildInfoDictionary(), currentExecutablePath());
    return bundle;
}

std::optional<std::string> Bundle::object(std::string_view key) const {
    const auto found = info_.find(key);
    if (found == info_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::filesystem::path currentExecutablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

} // namespace System::Bundle
