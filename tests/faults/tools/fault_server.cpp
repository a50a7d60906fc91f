// A foreign process on the worker's port, started by a fault case before the program:
//   fault_server <mode> <folder>
//   wrong-pid  answers every request with a well-formed challenge answer of another process (pid 1)
//   silent     accepts and never answers; reads until the peer closes
//   huge       answers each request with a 100 MB JSON-like body, streamed
// It writes <folder>/listening once bound, and appends to <folder>/events one line per fact:
//   accept <n> <ms> / request <n> <ms> / closed <n> <bytes sent> <ms>   (ms since the server started)
// It runs until it is signalled by whoever started it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#ifndef FAULT_WORKER_VERSION
#error "FAULT_WORKER_VERSION must be the bundle's version"
#endif

namespace {

constexpr long long kHugeBytes = 100LL * 1024 * 1024;

std::string folder;
std::mutex eventsMutex;
std::atomic<int> connections{0};

const auto started = std::chrono::steady_clock::now();

// Each line ends with the milliseconds since this server started.
void event(const std::string& line) {
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    std::lock_guard lock(eventsMutex);
    std::ofstream out(folder + "/events", std::ios::app);
    out << line << ' ' << ms << '\n';
}

bool sendAll(int fd, const char* data, std::size_t size, long long& sent) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
        sent += n;
    }
    return true;
}

// Reads one request head; false when the peer closed first.
bool readRequest(int fd, std::string& pending) {
    char chunk[4096];
    while (pending.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pending.append(chunk, static_cast<std::size_t>(n));
    }
    pending.erase(0, pending.find("\r\n\r\n") + 4);
    return true;
}

void serve(int fd, const std::string& mode, int number) {
    long long sent = 0;
    std::string pending;
    if (mode == "silent") {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
        }
    } else if (mode == "wrong-pid") {
        while (readRequest(fd, pending)) {
            event("request " + std::to_string(number));
            const std::string body = "{\"pid\": 1, \"version\": \"" FAULT_WORKER_VERSION "\"}";
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\n\r\n" + body;
            if (!sendAll(fd, answer.data(), answer.size(), sent)) break;
        }
    } else if (mode == "huge") {
        while (readRequest(fd, pending)) {
            event("request " + std::to_string(number));
            const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                                     std::to_string(kHugeBytes) + "\r\n\r\n";
            if (!sendAll(fd, head.data(), head.size(), sent)) break;
            const std::string opening = "{\"pid\": 1, \"version\": \"" FAULT_WORKER_VERSION "\", \"pad\": \"";
            std::string chunk(64 * 1024, 'x');
            long long left = kHugeBytes;
            bool ok = sendAll(fd, opening.data(), opening.size(), sent);
            left -= static_cast<long long>(opening.size());
            while (ok && left > 2) {
                const std::size_t size = static_cast<std::size_t>(std::min<long long>(left - 2, chunk.size()));
                ok = sendAll(fd, chunk.data(), size, sent);
                left -= static_cast<long long>(size);
            }
            if (!ok || !sendAll(fd, "\"}", 2, sent)) break;
        }
    }
    ::close(fd);
    event("closed " + std::to_string(number) + " " + std::to_string(sent));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fault_server wrong-pid|silent|huge FOLDER\n");
        return 64;
    }
    const std::string mode = argv[1];
    folder = argv[2];
    if (mode != "wrong-pid" && mode != "silent" && mode != "huge") {
        std::fprintf(stderr, "fault_server: unknown mode %s\n", mode.c_str());
        return 64;
    }
    ::signal(SIGPIPE, SIG_IGN);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(4173);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A worker of an earlier case may still be letting go of the port.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EADDRINUSE || std::chrono::steady_clock::now() > deadline) {
            std::perror("fault_server: bind 127.0.0.1:4173");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (::listen(listener, 64) != 0) {
        std::perror("fault_server: listen");
        return 1;
    }
    std::ofstream(folder + "/listening") << ::getpid() << '\n';

    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::perror("fault_server: accept");
            return 1;
        }
        const int number = ++connections;
        event("accept " + std::to_string(number));
        std::thread(serve, fd, mode, number).detach();
    }
}
