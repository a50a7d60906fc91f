#pragma once
// Files of the program's own bundle that it runs or loads. Whoever could change one could run code as
// the user, so one is taken only when it is a regular file of the bundle's owner or root that nobody
// else may write; and it is then used through the descriptor that was checked, never by its name
// again, so that nothing can be put in its place between the check and the use.
#include <sys/types.h>

#include <filesystem>
#include <string>

#include "platform/linux/base/unique_fd.h"

namespace nubrio::linux_platform::trusted_file {

// The file opened as a path only (O_PATH), without following a link in its last component: opening a
// FIFO does not wait for a writer, and nothing is read. Invalid, with `failure` (the path and why)
// when it is missing or not such a file. The descriptor is close-on-exec and above 0–3, so that a
// child's standard descriptors can be set up around it.
UniqueFd open(const std::filesystem::path& path, uid_t owner, std::string& failure);

// A name of the opened file that exec and the dynamic loader can use: /proc/self/fd/<fd>. It is the
// checked file itself, whatever has happened to the path since.
std::string descriptorPath(int fd);

}  // namespace nubrio::linux_platform::trusted_file
