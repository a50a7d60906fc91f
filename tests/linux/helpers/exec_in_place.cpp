// The program started anew in its own place, as after an upgrade:
//   exec_in_place hand SOCKET     listens at SOCKET, opens a descriptor without O_CLOEXEC (as a library
//                                 may), prints "pid <pid>", then executes itself as "take", handing
//                                 the socket on
//   exec_in_place take            prints "took <pid> <fd> <close-on-exec 0|1> <LISTEN_ variables left>"
//                                 and "fds <its open descriptors>"
//   exec_in_place missing         executes a program that does not exist: prints the error, exits 3
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/linux/process/exec_in_place.h"

using nubrio::linux_platform::execInPlace;

int main(int argc, char** argv) {
    if (argc < 2) return 64;
    const std::string mode = argv[1];
    if (mode == "hand" && argc == 3) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, argv[2]);
        const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0)
            return 1;
        // Not close-on-exec, and above the socket: it must not reach the new program all the same.
        if (::open("/dev/null", O_RDONLY) < 0) return 1;
        std::printf("pid %d\n", static_cast<int>(getpid()));
        std::fflush(stdout);
        const nubrio::platform::Error error = execInPlace("/proc/self/exe", {argv[0], "take"}, listener);
        std::printf("failed %s\n", error.message.c_str());
        return 2;
    }
    if (mode == "take") {
        const int fd = nubrio::linux_platform::takeInheritedListener();
        const int flags = fd >= 0 ? fcntl(fd, F_GETFD) : -1;
        const bool left = std::getenv("LISTEN_PID") || std::getenv("LISTEN_FDS");
        std::printf("took %d %d %d %d\n", static_cast<int>(getpid()), fd, (flags & FD_CLOEXEC) ? 1 : 0, left ? 1 : 0);
        std::string fds;
        DIR* folder = opendir("/proc/self/fd");
        while (const dirent* entry = folder ? readdir(folder) : nullptr)
            if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != dirfd(folder)) fds += std::string(" ") + entry->d_name;
        if (folder) closedir(folder);
        std::printf("fds%s\n", fds.c_str());
        return 0;
    }
    if (mode == "missing") {
        const nubrio::platform::Error error = execInPlace("/nonexistent/Nubrio", {"Nubrio"}, -1);
        std::printf("%s\n", error.message.c_str());
        return 3;
    }
    return 64;
}
