#include "App/Platform/XdgDesktopServices.h"

#include "App/Platform/ProcessLauncher.h"
#include "System/Log/Logger.h"
#include "System/Net/Url.h"

#include <cerrno>
#include <cstring>
#include <sys/wait.h>

namespace Parlindo {

using System::Log::Public;

namespace {

const System::Log::Logger logger{"com.tessarin.Tessarin", "App"};

bool succeeded(int waitStatus) {
    return WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0;
}

// A handler takes an address starting with "-" for an option, and one with a line break for two lines.
bool isSafeArgument(const std::string& text) {
    if (text.empty() || text.front() == '-') {
        return false;
    }
    for (const unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

bool open(const std::string& target) {
    if (!isSafeArgument(target)) {
        logger.error("Refused to open {}: not an address", System::Log::Private(target));
        return false;
    }
    const auto started = launchProcess({"xdg-open", target}, [target](int status) {
        if (!succeeded(status)) {
            logger.error("xdg-open couldn't open {}", System::Log::Private(target));
        }
    });
    if (!started) {
        logger.error("xdg-open couldn't be started: {}", Public(std::strerror(errno)));
    }
    return started.has_value();
}

} // namespace

bool XdgDesktopServices::openURL(const std::string& address) {
    return open(address);
}

void XdgDesktopServices::revealInFileManager(const std::filesystem::path& file) {
    const std::string folder = file.parent_path().string();
    // Commas separate the items of dbus-send's array, so the address carries every reserved character
    // encoded.
    const std::string uri = "file://" + System::Net::percentEncode(file.string(), "/");
    const auto started =
        launchProcess({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.FileManager1",
                       "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1.ShowItems",
                       "array:string:" + uri, "string:"},
                      [folder](int status) {
                          if (!succeeded(status)) {
                              open(folder);
                          }
                      });
    if (!started) {
        open(folder);
    }
}

bool XdgDesktopServices::launchNewInstance(const std::filesystem::path& executable) {
    const auto started = launchProcess({executable.string()});
    if (!started) {
        logger.error("{} couldn't be started: {}", Public(executable.string()), Public(std::strerror(errno)));
    }
    return started.has_value();
}

} // namespace Parlindo
