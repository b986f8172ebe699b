#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace System::Bundle {

// Keys of the information dictionary.
inline constexpr std::string_view identifierKey = "CFBundleIdentifier";
inline constexpr std::string_view nameKey = "CFBundleName";
inline constexpr std::string_view shortVersionKey = "CFBundleShortVersionString";
inline constexpr std::string_view apiURLKey = "TessarinAPIURL";
inline constexpr std::string_view appcastURLKey = "TessarinAppcastURL";

// The running application: its information dictionary, fixed when the program was built, and where its
// program file lies. Immutable, so safe from any thread.
class Bundle {
public:
    using InfoDictionary = std::map<std::string, std::string, std::less<>>;

    Bundle(InfoDictionary info, std::filesystem::path executablePath);

    // The information this program was built with and the path of the running program.
    static const Bundle& main();

    // The entry under `key`, or nothing when there is none.
    std::optional<std::string> object(std::string_view key) const;
    std::optional<std::string> identifier() const { return object(identifierKey); }
    const InfoDictionary& infoDictionary() const { return info_; }

    // The program file, with symbolic links resolved; what relaunching starts again.
    const std::filesystem::path& executablePath() const { return executablePath_; }

private:
    InfoDictionary info_;
    std::filesystem::path executablePath_;
};

// The dictionary the build configured (BuildInfo.cpp, generated).
Bundle::InfoDictionary buildInfoDictionary();

// The running program's file, read from /proc/self/exe; empty when that cannot be read.
std::filesystem::path currentExecutablePath();

} // namespace System::Bundle
