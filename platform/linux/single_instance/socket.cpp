#include "platform/linux/single_instance/socket.h"

#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/linux/base/system_error.h"
#include "platform/linux/single_instance/handover.h"

namespace nubrio::linux_platform::instance_socket {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A holder answers a connect at once, even while its main thread is busy (the kernel queues the
// connection); only a full backlog makes us wait.
constexpr auto kConnectDeadline = 1s;
constexpr auto kSendDeadline = 2s;
// The holder's main thread may be stopping a worker (up to a few seconds) before it reads.
constexpr auto kAcknowledgementDeadline = 6s;

bool socketAddress(const std::filesystem::path& path, sockaddr_un& address) {
    const std::string text = path.string();
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (text.empty() || text.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool sendAll(int fd, const std::string& bytes, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd waiting{fd, POLLOUT, 0};
        const int timeout = remainingMs(deadline);
        if (timeout == 0 || ::poll(&waiting, 1, timeout) <= 0) return false;
    }
    return true;
}

Delivery receiveAcknowledgement(int fd, Clock::time_point deadline) {
    for (;;) {
        char byte = 0;
        const ssize_t n = ::recv(fd, &byte, 1, 0);
        if (n == 1) {
            if (byte == handover::kAcknowledgement) return Delivery::Taken;
            return byte == handover::kBusy ? Delivery::Busy : Delivery::NotTaken;
        }
        if (n == 0) return Delivery::NotTaken;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return Delivery::NotTaken;
        pollfd waiting{fd, POLLIN, 0};
        const int timeout = remainingMs(deadline);
        if (timeout == 0) return Delivery::NoAnswer;
        const int ready = ::poll(&waiting, 1, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return Delivery::NoAnswer;
    }
}

}  // namespace

bool fits(const std::filesystem::path& path) {
    sockaddr_un address;
    return socketAddress(path, address);
}

UniqueFd newSocket() { return UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)); }

bool sameUser(uid_t uid) { return uid == ::getuid(); }

std::optional<ucred> peerCredentials(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return std::nullopt;
    return credentials;
}

Probe connectTo(const std::filesystem::path& path, UniqueFd& socket) {
    sockaddr_un address;
    if (!socketAddress(path, address)) return Probe::Failed;
    const Clock::time_point deadline = Clock::now() + kConnectDeadline;
    for (;;) {
        socket = newSocket();
        if (!socket.valid()) return Probe::Failed;
        if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return Probe::Connected;
        const int error = errno;
        socket.reset();
        if (error == ECONNREFUSED) return Probe::Refused;
        if (error == ENOENT) return Probe::Missing;
        if (error == EPROTOTYPE) return Probe::WrongKind;
        if (error != EAGAIN && error != EINTR) return Probe::Failed;
        if (Clock::now() >= deadline) return Probe::Busy;
        std::this_thread::sleep_for(20ms);
    }
}

Bound bindTo(const std::filesystem::path& path) {
    sockaddr_un address;
    if (!socketAddress(path, address)) return {UniqueFd(), systemError(ENAMETOOLONG, path.string())};
    UniqueFd socket = newSocket();
    if (!socket.valid()) return {UniqueFd(), systemError(errno, path.string())};
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return {UniqueFd(), systemError(errno, path.string())};
    return {std::move(socket), std::nullopt};
}

Delivery deliver(const std::filesystem::path& path, const std::string& message) {
    UniqueFd peer;
    switch (connectTo(path, peer)) {
        case Probe::Connected: break;
        case Probe::Busy: return Delivery::Busy;
        default: return Delivery::Unreachable;
    }
    const std::optional<ucred> credentials = peerCredentials(peer.get());
    if (!credentials || !sameUser(credentials->uid)) return Delivery::NotOurs;
    // The holder may close at once when busy: its answer then says so.
    if (!sendAll(peer.get(), message, Clock::now() + kSendDeadline)) {
        char byte = 0;
        return ::recv(peer.get(), &byte, 1, MSG_DONTWAIT) == 1 && byte == handover::kBusy ? Delivery::Busy
                                                                                          : Delivery::NotTaken;
    }
    return receiveAcknowledgement(peer.get(), Clock::now() + kAcknowledgementDeadline);
}

}  // namespace nubrio::linux_platform::instance_socket
