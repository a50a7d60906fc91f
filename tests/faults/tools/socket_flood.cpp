// Misbehaving clients of the program's single-instance socket (the running copy's link hand-over):
//   socket_flood <socket> garbage <count>     random bytes, then close
//   socket_flood <socket> oversized <count>   a valid header announcing a huge link, then 1 MiB
//   socket_flood <socket> trailing <count>    a complete, valid message followed by junk
//   socket_flood <socket> partial <count>     half a header, then silence until the holder gives up
//   socket_flood <socket> hold <count> <s>    <count> connections held open and silent for <s> seconds
//   socket_flood <socket> restart <count>     valid hand-overs of the launcher's restart command
//   socket_flood <socket> link <count>        valid hand-overs of nubrio://connect
//   socket_flood <socket> links <count>       valid hand-overs of nubrio://connect?n=<i>, each different
// Prints one summary line. Refusals and resets are the holder's right, so they are counted, not
// treated as errors; only a socket that cannot be reached at all fails (exit 1).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

int connectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    timeval timeout{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

bool sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string bigEndian(std::uint32_t value) {
    std::string out;
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
    return out;
}

enum class Ending { Closed, Answered, Silent };

// How the holder ended the conversation: closed (or reset) it, answered, or kept still past our timeout.
Ending holderEnding(int fd) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, 0);
    if (n > 0) return Ending::Answered;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Ending::Silent;
    return Ending::Closed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: socket_flood SOCKET garbage|oversized|trailing|partial|hold COUNT [SECONDS]\n");
        return 64;
    }
    ::signal(SIGPIPE, SIG_IGN);
    const std::string path = argv[1];
    const std::string mode = argv[2];
    const int count = std::stoi(argv[3]);
    const int seconds = argc > 4 ? std::stoi(argv[4]) : 5;
    std::mt19937 random(12345);

    int connected = 0, unreachable = 0, closed = 0, answered = 0, silent = 0, cutOff = 0;
    std::vector<int> held;
    for (int i = 0; i < count; ++i) {
        const int fd = connectTo(path);
        if (fd < 0) {
            ++unreachable;
            continue;
        }
        ++connected;
        std::string message;
        if (mode == "garbage") {
            message.resize(1 + random() % 4096);
            for (char& c : message) c = static_cast<char>(random());
        } else if (mode == "oversized") {
            message = "NBL1" + bigEndian(1) + bigEndian(0xFFFFFFF0u) + std::string(1 << 20, 'a');
        } else if (mode == "trailing") {
            const std::string link = "nubrio://connect";
            message = "NBL1" + bigEndian(1) + bigEndian(static_cast<std::uint32_t>(link.size())) + link + "junk";
        } else if (mode == "partial") {
            message = "NBL1" + std::string("\0\0", 2);
        } else if (mode == "restart") {
            message = "NBC1" + bigEndian(7) + "restart";
        } else if (mode == "link") {
            const std::string link = "nubrio://connect";
            message = "NBL1" + bigEndian(1) + bigEndian(static_cast<std::uint32_t>(link.size())) + link;
        } else if (mode == "links") {
            const std::string link = "nubrio://connect?n=" + std::to_string(i);
            message = "NBL1" + bigEndian(1) + bigEndian(static_cast<std::uint32_t>(link.size())) + link;
        } else if (mode == "hold") {
            held.push_back(fd);
            continue;
        } else {
            std::fprintf(stderr, "socket_flood: unknown mode %s\n", mode.c_str());
            return 64;
        }
        if (!sendAll(fd, message)) ++cutOff;
        switch (holderEnding(fd)) {
        case Ending::Closed: ++closed; break;
        case Ending::Answered: ++answered; break;
        case Ending::Silent: ++silent; break;
        }
        ::close(fd);
    }
    if (!held.empty()) {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        for (int fd : held) ::close(fd);
    }
    std::printf("socket_flood %s: %d connected, %d unreachable, %d closed by the holder, %d answered, %d left hanging, "
                "%d cut off while sending, %zu held\n",
                mode.c_str(), connected, unreachable, closed, answered, silent, cutOff, held.size());
    return connected > 0 ? 0 : 1;
}
