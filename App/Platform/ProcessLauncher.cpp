#include "App/Platform/ProcessLauncher.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace Parlindo {

std::optional<pid_t> launchProcess(const std::vector<std::string>& arguments,
                                   std::function<void(int)> onExit) {
    if (arguments.empty()) {
        errno = EINVAL;
        return std::nullopt;
    }
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // The child must not hold this process's sockets and devices open, nor inherit its blocked signals.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        errno = error;
        return std::nullopt;
    }
    std::thread([pid, onExit = std::move(onExit)] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (onExit) {
            onExit(status);
        }
    }).detach();
    return pid;
}

} // namespace Parlindo
