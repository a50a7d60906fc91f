#pragma once
// One connection of the worker as httplib sees it: a socket stream like httplib's own, except that the
// whole conversation has one deadline (not one timeout per read), that it reads at most a fixed number
// of bytes, and that it gives up at once when the worker stops. A client that drips its request byte
// by byte, or sends without end, so holds a worker thread only until the deadline.
#include <httplib.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <string>

namespace nubrio::service {

class DeadlineStream final : public httplib::Stream {
public:
    using Clock = std::chrono::steady_clock;

    // stopFd becomes readable when the worker stops (a negative one never does).
    DeadlineStream(socket_t sock, Clock::time_point deadline, std::size_t readLimit, int stopFd);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return sock_; }

private:
    // Whether the socket is ready for `events` before the deadline and before the worker stops.
    bool waitFor(short events) const;

    socket_t sock_;
    Clock::time_point deadline_;
    std::size_t unread_;  // what the request may still take from the socket
    int stopFd_;
    // httplib reads a request line and its headers one byte at a time: one recv per buffer, not per byte.
    std::array<char, 4096> buffer_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace nubrio::service
