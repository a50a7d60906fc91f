#pragma once
// The client's side of the single-instance socket, and what both sides check of a peer. All calls
// block, each within a deadline of its own.
#include <sys/socket.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/linux/base/unique_fd.h"

namespace nubrio::linux_platform::instance_socket {

// Whether the path fits a Unix socket address.
bool fits(const std::filesystem::path& path);

// A non-blocking, close-on-exec Unix stream socket; invalid on failure.
UniqueFd newSocket();

bool sameUser(uid_t uid);
std::optional<ucred> peerCredentials(int fd);

enum class Probe {
    Connected,  // somebody listens
    Refused,    // a socket file with nobody behind it
    Missing,    // no file
    Busy,       // a listener whose backlog stayed full until the deadline
    WrongKind,  // a socket of another kind (a datagram socket)
    Failed,
};
// Connects within about a second; `socket` holds the connection when Connected.
Probe connectTo(const std::filesystem::path& path, UniqueFd& socket);

// Binds a new socket at the path: the socket, or why not (EADDRINUSE: a file is there already).
struct Bound {
    UniqueFd socket;
    std::optional<platform::Error> error;
};
Bound bindTo(const std::filesystem::path& path);

// How a hand-over ended.
enum class Delivery {
    Taken,        // acknowledged
    Busy,         // the holder serves as many as it may, or its backlog is full: worth another try
    NotTaken,     // closed without an acknowledgement: the holder refused it (it may be ending)
    NoAnswer,     // no acknowledgement within the deadline
    Unreachable,  // nobody listens there (any more)
    NotOurs,      // held by a process of another user
};

// Hands one encoded message to the holder at the path, which must be a process of our own user,
// and waits, bounded, for its acknowledgement.
Delivery deliver(const std::filesystem::path& path, const std::string& message);

}  // namespace nubrio::linux_platform::instance_socket
