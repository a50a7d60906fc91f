#include "worker_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace nubrio::e2e {

namespace {

constexpr int kPort = 4173;
constexpr int kTimeoutMs = 3000;

void note(std::string* detail, const std::string& text) {
    if (detail) *detail = text;
}

// A connected socket, or -1 with errno set.
int connectToWorker() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    timeval timeout{kTimeoutMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return fd;
}

}  // namespace

std::optional<Challenge> readChallenge(std::string* detail) {
    const int fd = connectToWorker();
    if (fd < 0) {
        note(detail, std::string("connect: ") + std::strerror(errno));
        return std::nullopt;
    }
    const std::string request =
        "GET /api/desktop/challenge HTTP/1.1\r\nHost: 127.0.0.1:4173\r\nConnection: close\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        note(detail, std::string("send: ") + std::strerror(errno));
        ::close(fd);
        return std::nullopt;
    }
    std::string response;
    char buffer[4096];
    while (response.size() < 65536) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        response.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);

    const auto headerEnd = response.find("\r\n\r\n");
    if (response.rfind("HTTP/1.1 200", 0) != 0 || headerEnd == std::string::npos) {
        note(detail, "unexpected answer: " + response.substr(0, 200));
        return std::nullopt;
    }
    const auto json = nlohmann::json::parse(response.substr(headerEnd + 4), nullptr, false);
    if (!json.is_object() || !json.contains("pid") || !json["pid"].is_number_integer() || !json.contains("version") ||
        !json["version"].is_string()) {
        note(detail, "unexpected body: " + response.substr(headerEnd + 4, 200));
        return std::nullopt;
    }
    return Challenge{json["pid"].get<pid_t>(), json["version"].get<std::string>()};
}

bool portRefused() {
    const int fd = connectToWorker();
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    return errno == ECONNREFUSED;
}

std::optional<ProcessSnapshot> snapshot(pid_t pid) {
    const std::filesystem::path folder = "/proc/" + std::to_string(pid);
    std::ifstream in(folder / "stat");
    std::string stat;
    if (!std::getline(in, stat)) return std::nullopt;
    // The command name may hold spaces and parentheses: the fields start after the last ')'.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(stat.substr(close + 2));
    ProcessSnapshot process;
    process.pid = pid;
    pid_t group = 0;
    fields >> process.state >> process.parent >> group >> process.session;
    std::string skipped;
    for (int field = 7; field < 22; ++field) fields >> skipped;  // up to the start time, field 22
    fields >> process.startTime;
    std::error_code error;
    process.executable = std::filesystem::read_symlink(folder / "exe", error).string();
    return process;
}

bool hasEnded(const ProcessSnapshot& earlier) {
    const auto now = snapshot(earlier.pid);
    return !now || now->state == 'Z' || now->state == 'X' || now->startTime != earlier.startTime;
}

}  // namespace nubrio::e2e
