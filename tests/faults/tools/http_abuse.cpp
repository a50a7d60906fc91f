// Hostile and ordinary clients of the worker's port 127.0.0.1:4173, for scripts/benchmark.sh:
//   http_abuse post FILE [HEADER...]         POST / with FILE as the body (its length announced) and
//                                            the extra headers given, e.g. "Content-Encoding: gzip"
//   http_abuse endless LENGTH                POST / announcing LENGTH bytes, then zeros until the
//                                            server stops taking them or LENGTH are sent
//   http_abuse drip COUNT SECONDS [MS]       COUNT connections that each send one byte of a request
//                                            that never ends every MS ms (500), reconnecting when cut
//   http_abuse challenge COUNT               COUNT challenge requests one after the other, 200 ms apart
// post and endless print "status <code or none> sent <bytes>"; drip prints its connection count;
// challenge prints one line per request: the milliseconds to a complete answer, or "failed".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int connectToWorker() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(4173);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Everything the server sends until it closes; what arrived before a reset still counts.
std::string readAll(int fd) {
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0 || (n < 0 && errno == EINTR);)
        if (n > 0) answer.append(buffer, static_cast<std::size_t>(n));
    return answer;
}

std::string statusOf(const std::string& answer) {
    return answer.compare(0, 9, "HTTP/1.1 ") == 0 && answer.size() >= 12 ? answer.substr(9, 3) : "none";
}

// Sends the head, then `total` body bytes (`body` over and over) until the server stops taking them.
int post(const std::string& head, const std::string& body, unsigned long long total) {
    const int fd = connectToWorker();
    if (fd < 0) {
        std::printf("status unreachable sent 0\n");
        return 1;
    }
    unsigned long long sent = 0;
    if (sendAll(fd, head.data(), head.size())) {
        while (sent < total) {
            const std::size_t offset = static_cast<std::size_t>(sent % body.size());
            const std::size_t size =
                static_cast<std::size_t>(std::min<unsigned long long>(total - sent, body.size() - offset));
            const ssize_t n = send(fd, body.data() + offset, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            sent += static_cast<unsigned long long>(n);
        }
    }
    const std::string answer = readAll(fd);
    close(fd);
    std::printf("status %s sent %llu\n", statusOf(answer).c_str(), sent);
    return 0;
}

void drip(std::chrono::milliseconds interval, Clock::time_point end, std::atomic<int>& connections) {
    const std::string request = "GET /api/desktop/challenge HTTP/1.1\r\nHost: 127.0.0.1:4173\r\nX-Slow: ";
    int fd = -1;
    std::size_t position = 0;
    while (Clock::now() < end) {
        if (fd < 0) {
            fd = connectToWorker();
            position = 0;
            if (fd < 0) {
                std::this_thread::sleep_for(interval);
                continue;
            }
            ++connections;
        }
        const char byte = position < request.size() ? request[position] : 'a';
        ++position;
        if (send(fd, &byte, 1, MSG_NOSIGNAL) != 1) {
            close(fd);
            fd = -1;
            continue;
        }
        std::this_thread::sleep_for(interval);
    }
    if (fd >= 0) close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "post" && argc >= 3) {
        std::ifstream file(argv[2], std::ios::binary);
        const std::string body((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::string head = "POST / HTTP/1.1\r\nHost: 127.0.0.1:4173\r\nContent-Type: application/octet-stream\r\n"
                           "Content-Length: " + std::to_string(body.size()) + "\r\n";
        for (int i = 3; i < argc; ++i) head += std::string(argv[i]) + "\r\n";
        return post(head + "\r\n", body, body.size());
    }
    if (mode == "endless" && argc >= 3) {
        const unsigned long long length = std::strtoull(argv[2], nullptr, 10);
        return post("POST / HTTP/1.1\r\nHost: 127.0.0.1:4173\r\nContent-Type: application/octet-stream\r\n"
                    "Content-Length: " + std::to_string(length) + "\r\n\r\n",
                    std::string(1 << 16, '\0'), length);
    }
    if (mode == "drip" && argc >= 4) {
        const int count = std::atoi(argv[2]);
        const Clock::time_point end = Clock::now() + std::chrono::seconds(std::atoi(argv[3]));
        const std::chrono::milliseconds interval(argc > 4 ? std::atoi(argv[4]) : 500);
        std::atomic<int> connections = 0;
        std::vector<std::thread> drippers;
        for (int i = 0; i < count; ++i) drippers.emplace_back(drip, interval, end, std::ref(connections));
        for (std::thread& dripper : drippers) dripper.join();
        std::printf("drip: %d connections by %d clients\n", connections.load(), count);
        return 0;
    }
    if (mode == "challenge" && argc >= 3) {
        const std::string request = "GET /api/desktop/challenge HTTP/1.1\r\nHost: 127.0.0.1:4173\r\nConnection: close\r\n\r\n";
        for (int i = 0, count = std::atoi(argv[2]); i < count; ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const Clock::time_point start = Clock::now();
            const int fd = connectToWorker();
            const bool answered = fd >= 0 && sendAll(fd, request.data(), request.size()) &&
                                  statusOf(readAll(fd)) == "200";
            if (fd >= 0) close(fd);
            if (answered)
                std::printf("%.1f\n", std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            else
                std::printf("failed\n");
            std::fflush(stdout);
        }
        return 0;
    }
    std::fprintf(stderr, "usage: http_abuse post FILE [HEADER...] | endless LENGTH | drip COUNT SECONDS [MS] | "
                         "challenge COUNT\n");
    return 64;
}
