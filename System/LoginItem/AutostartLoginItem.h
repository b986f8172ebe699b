#pragma once

#include "System/LoginItem/LoginItem.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace System::LoginItem {

// A login item kept as an XDG autostart entry: "<identifier>.desktop" in the user's autostart folder, which
// desktop sessions read at login. The entry counts as enabled while it exists, is not switched off (Hidden,
// X-GNOME-Autostart-enabled) and its program exists; an entry whose program has gone is notFound. Never
// requiresApproval: the desktop asks no one.
class AutostartLoginItem final : public LoginItemService {
public:
    // Variables the program is started with, by name and value.
    using Environment = std::vector<std::pair<std::string, std::string>>;

    // `identifier` names the entry's file and must not hold "/"; `executable` is the program it starts, with
    // `environment` set (through env(1)) when it is not empty.
    AutostartLoginItem(std::string identifier, std::string displayName, std::filesystem::path executable,
                       std::filesystem::path autostartDirectory = defaultDirectory(),
                       Environment environment = {});

    // $XDG_CONFIG_HOME/autostart.
    static std::filesystem::path defaultDirectory();

    const std::filesystem::path& entryFile() const { return entryFile_; }

    Status status() const override;
    void registerItem() override;
    void unregister() override;
    // True when there is no entry or its command is the one registerItem() writes.
    bool isCurrent() const override;

private:
    // The Exec value of the entry this item writes (before the string escapes).
    std::string execValue() const;

    std::string displayName_;
    std::filesystem::path executable_;
    Environment environment_;
    std::filesystem::path directory_;
    std::filesystem::path entryFile_;
};

// The Exec value that starts `program` with no arguments, quoted as desktop entries require (before the
// string escapes that every value gets in the file).
std::string desktopExecValue(const std::filesystem::path& program);
// The Exec value of a command line: every argument quoted as above, separated by blanks.
std::string desktopExecValue(const std::vector<std::string>& arguments);
// The arguments of an Exec value (string escapes already undone), unquoted.
std::vector<std::string> desktopExecArguments(const std::string& execValue);
// The program an Exec value starts: its first argument, or the program after "env" and its NAME=value
// assignments; empty when there is none.
std::string desktopExecProgram(const std::string& execValue);

} // namespace System::LoginItem
