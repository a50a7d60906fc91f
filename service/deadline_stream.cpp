#include "service/deadline_stream.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nubrio::service {

namespace {

void ipAndPort(const sockaddr_storage& address, socklen_t length, std::string& ip, int& port) {
    if (address.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    else if (address.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    else
        return;
    char host[NI_MAXHOST] = "";
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) == 0)
        ip = host;
}

}  // namespace

DeadlineStream::DeadlineStream(socket_t sock, Clock::time_point deadline, std::size_t readLimit, int stopFd)
    : sock_(sock), deadline_(deadline), unread_(readLimit), stopFd_(stopFd) {}

bool DeadlineStream::waitFor(short events) const {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now());
        if (left.count() <= 0) return false;
        pollfd fds[] = {{sock_, events, 0}, {stopFd_, POLLIN, 0}};
        const int ready = poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) return false;
        if (fds[1].revents) return false;
        if (fds[0].revents) return true;  // ready, or hung up and ready to say so
    }
}

bool DeadlineStream::is_readable() const {
    return begin_ < end_ || (unread_ > 0 && waitFor(POLLIN));
}

// As httplib's: writable in time, and the peer has not closed its end.
bool DeadlineStream::is_writable() const {
    if (!waitFor(POLLOUT)) return false;
    pollfd fd{sock_, POLLIN, 0};
    if (poll(&fd, 1, 0) == 0) return true;
    char byte;
    return recv(sock_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

ssize_t DeadlineStream::read(char* ptr, size_t size) {
    if (begin_ == end_) {
        if (unread_ == 0) return -1;  // the request is larger than anything this worker answers
        ssize_t received;
        do {
            if (!waitFor(POLLIN)) return -1;
            received = recv(sock_, buffer_.data(), std::min(buffer_.size(), unread_), MSG_DONTWAIT);
        } while (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK));
        if (received <= 0) return received;
        unread_ -= static_cast<std::size_t>(received);
        begin_ = 0;
        end_ = static_cast<std::size_t>(received);
    }
    const std::size_t count = std::min(size, end_ - begin_);
    std::memcpy(ptr, buffer_.data() + begin_, count);
    begin_ += count;
    return static_cast<ssize_t>(count);
}

ssize_t DeadlineStream::write(const char* ptr, size_t size) {
    for (;;) {
        if (!is_writable()) return -1;
        const ssize_t sent = send(sock_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return sent;
    }
}

void DeadlineStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) ipAndPort(address, length, ip, port);
}

void DeadlineStream::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) ipAndPort(address, length, ip, port);
}

}  // namespace nubrio::service
