#pragma once

#include "System/LoginItem/LoginItem.h"

#include <filesystem>
#include <string>

namespace System::LoginItem {

// A login item kept as an XDG autostart entry: "<identifier>.desktop" in the user's autostart folder, which
// desktop sessions read at login. The entry counts as enabled while it exists, is not switched off (Hidden,
// X-GNOME-Autostart-enabled) and its program exists; an entry whose program has gone is notFound. Never
// requiresApproval: the desktop asks no one.
class AutostartLoginItem final : public LoginItemService {
public:
    // `identifier` names the entry's file and must not hold "/"; `executable` is the program it starts.
    AutostartLoginItem(std::string identifier, std::string displayName, std::filesystem::path executable,
                       std::filesystem::path autostartDirectory = defaultDirectory());

    // $XDG_CONFIG_HOME/autostart.
    static std::filesystem::path defaultDirectory();

    const std::filesystem::path& entryFile() const { return entryFile_; }

    Status status() const override;
    void registerItem() override;
    void unregister() override;

private:
    std::string displayName_;
    std::filesystem::path executable_;
    std::filesystem::path directory_;
    std::filesystem::path entryFile_;
};

// The Exec value that starts `program` with no arguments, quoted as desktop entries require (before the
// string escapes that every value gets in the file).
std::string desktopExecValue(const std::filesystem::path& program);
// The program an Exec value (string escapes already undone) starts: its first argument, unquoted; empty when
// there is none.
std::string desktopExecProgram(const std::string& execValue);

} // namespace System::LoginItem
