// Holds a Unix stream socket at the given path, as another running copy would: binds, listens,
// says "ready" on standard output, then waits to be killed. It never accepts, so the kernel alone
// answers connects.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) return 64;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(argv[1]) >= sizeof address.sun_path) return 65;
    std::strcpy(address.sun_path, argv[1]);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
        std::perror("socket_holder");
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    for (;;) pause();
}
