#pragma once
// This process replaced by a program, keeping its pid: how the program starts again in its own place
// after an upgrade, its single-instance socket handed on as a listening socket is passed to a
// socket-activated service (LISTEN_FDS), so that the socket is answered throughout.
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error.h"

namespace nubrio::linux_platform {

// Executes `program` with `arguments` (argv[0] first) and this process's environment. `listener`, when
// not -1, becomes the new program's only inherited descriptor besides 0-2 (fd 3, announced by
// LISTEN_PID and LISTEN_FDS); every other one is closed on the way. Returns only when the program
// could not be executed, with the reason.
platform::Error execInPlace(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                            int listener);

// In a program started so: the listening socket handed on, or -1. Takes it once (the variables are
// removed, and the descriptor is closed on a later exec); call before any thread starts.
int takeInheritedListener();

}  // namespace nubrio::linux_platform
