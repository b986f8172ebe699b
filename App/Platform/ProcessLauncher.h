#pragma once

#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace Parlindo {

// Starts `arguments[0]` (looked up on PATH unless it holds a "/") with the other arguments, in a session of
// its own, with the default signal handling and no open files besides standard input, output and error. The
// process runs on its own: a thread of its own waits for its end and hands its wait status to `onExit`
// (when given) there. Gives the process id, or nothing when the program could not be started (errno tells
// why).
std::optional<pid_t> launchProcess(const std::vector<std::string>& arguments,
                                   std::function<void(int waitStatus)> onExit = {});

} // namespace Parlindo
