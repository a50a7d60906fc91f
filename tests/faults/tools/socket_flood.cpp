// Misbehaving clients of the program's single-instance socket (the running copy's link hand-over):
//   socket_flood <socket> garbage <count>     random bytes, then close
//   socket_flood <socket> oversized <count>   a valid header announcing a huge link, then 1 MiB
//   socket_flood <socket> trailing <count>    a complete, valid message followed by junk
//   socket_flood <socket> partial <count>     half a header, then silence until the holder gives up
//   socket_flood <socket> hold <count> <s>    <count> connections held open and silent for <s> seconds
//   socket_flood <socket> restart <count>     valid hand-overs of the launcher's restart command
//   socket_flood <socket> link <count>        valid hand-overs of nubrio://connect
//   socket_flood <socket> links <count>       valid hand-overs of nubrio://connect?n=<i>, each different
//   socket_flood <socket> occupy <count> <s>  <count> silent connections for <s> seconds, each one
//                                              opened again as soon as the holder closes it
//   socket_flood <socket> datagram 1 <s>      a datagram socket bound at the path for <s> seconds
// Prints one summary line. Refusals and resets are the holder's right, so they are counted, not
// treated as errors; only a socket that cannot be reached at all fails (exit 1).
#include <poll.h>
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

enum class Ending { Closed, Answered, Busy, Silent };

// How the holder ended the conversation: closed (or reset) it, acknowledged, said it was busy, or kept
// still past our timeout.
Ending holderEnding(int fd) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, 0);
    if (n > 0) return byte == 'B' ? Ending::Busy : Ending::Answered;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Ending::Silent;
    return Ending::Closed;
}

// Keeps `count` silent connections open for `seconds`, each opened again once the holder closes it.
int occupy(const std::string& path, int count, int seconds) {
    std::vector<pollfd> open;
    int reopened = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        while (static_cast<int>(open.size()) < count) {
            const int fd = connectTo(path);
            if (fd < 0) break;
            open.push_back({fd, POLLIN, 0});
            ++reopened;
        }
        ::poll(open.data(), open.size(), 5);
        for (std::size_t i = 0; i < open.size();) {
            if (open[i].revents == 0) {
                ++i;
                continue;
            }
            ::close(open[i].fd);
            open.erase(open.begin() + static_cast<long>(i));
        }
    }
    for (const pollfd& held : open) ::close(held.fd);
    std::printf("socket_flood occupy: %d connections opened to keep %d busy for %d s\n", reopened, count, seconds);
    return reopened > 0 ? 0 : 1;
}

int holdDatagram(const std::string& path, int seconds) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return 1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("socket_flood datagram");
        return 1;
    }
    std::printf("socket_flood datagram: bound\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ::close(fd);
    ::unlink(path.c_str());
    return 0;
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
    if (mode == "occupy") return occupy(path, count, seconds);
    if (mode == "datagram") return holdDatagram(path, seconds);

    int connected = 0, unreachable = 0, closed = 0, answered = 0, busy = 0, silent = 0, cutOff = 0;
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
        case Ending::Busy: ++busy; break;
        case Ending::Silent: ++silent; break;
        }
        ::close(fd);
    }
    if (!held.empty()) {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        for (int fd : held) ::close(fd);
    }
    std::printf("socket_flood %s: %d connected, %d unreachable, %d closed by the holder, %d answered, %d told it was "
                "busy, %d left hanging, %d cut off while sending, %zu held\n",
                mode.c_str(), connected, unreachable, closed, answered, busy, silent, cutOff, held.size());
    return connected > 0 ? 0 : 1;
}
