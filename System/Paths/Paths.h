#pragma once

#include <filesystem>

// The user's folders as the XDG base-directory and user-dirs conventions name them. Each call reads the
// environment afresh; a variable that is unset, empty or not an absolute path is ignored, as the conventions
// say.
namespace System::Paths {

// $HOME, or the password database's home folder when HOME is unusable; throws std::runtime_error when neither
// names an absolute folder.
std::filesystem::path homeDirectory();

// $XDG_CONFIG_HOME, else ~/.config. User defaults live below it.
std::filesystem::path configHome();

// $XDG_DATA_HOME, else ~/.local/share: the application-support folder.
std::filesystem::path dataHome();
inline std::filesystem::path applicationSupportDirectory() {
    return dataHome();
}

// The documents folder: $XDG_DOCUMENTS_DIR, else the XDG_DOCUMENTS_DIR entry of <configHome>/user-dirs.dirs,
// else ~/Documents.
std::filesystem::path documentsDirectory();

} // namespace System::Paths
