#include "platform/linux/instance_registry_linux.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace nubrio::linux_platform {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kSocketName = "app.nubrio.desktop";
constexpr char kMagic[4] = {'N', 'B', 'L', '1'};
constexpr char kAcknowledgement = 'K';

// A holder answers a connect at once, even while its main thread is busy (the kernel queues the
// connection); only a full backlog makes us wait.
constexpr auto kConnectDeadline = 1s;
constexpr auto kSendDeadline = 2s;
// The holder's main thread may be stopping a worker (up to a few seconds) before it reads.
constexpr auto kAcknowledgementDeadline = 6s;
constexpr int kClientDeadlineMs = 2000;
constexpr auto kLockDeadline = 2s;

bool sameUser(uid_t uid) { return uid == ::getuid(); }

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Serialises claims between copies started at the same moment, so that none sees another's socket
// between bind and listen and takes it for stale. Best effort: without the lock we go on.
class ClaimLock {
public:
    explicit ClaimLock(const std::filesystem::path& socket) {
        const std::string lockPath = socket.string() + ".lock";
        fd_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (fd_.get() < 0) return;
        const Clock::time_point deadline = Clock::now() + kLockDeadline;
        while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) return;
            if (Clock::now() >= deadline) return;
            std::this_thread::sleep_for(20ms);
        }
    }

private:
    Fd fd_;
};

bool socketAddress(const std::filesystem::path& path, sockaddr_un& address) {
    const std::string text = path.string();
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (text.empty() || text.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

int newSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

std::optional<ucred> peerCredentials(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return std::nullopt;
    return credentials;
}

enum class Probe { Connected, Refused, Missing, Busy, Failed };

// Connects without blocking past the deadline. A full backlog (EAGAIN) is retried until then.
Probe connectTo(const std::filesystem::path& path, Fd& socket) {
    sockaddr_un address;
    if (!socketAddress(path, address)) return Probe::Failed;
    const Clock::time_point deadline = Clock::now() + kConnectDeadline;
    for (;;) {
        socket.reset(newSocket());
        if (socket.get() < 0) return Probe::Failed;
        if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            return Probe::Connected;
        const int error = errno;
        socket.reset();
        if (error == ECONNREFUSED) return Probe::Refused;
        if (error == ENOENT) return Probe::Missing;
        if (error != EAGAIN && error != EINTR) return Probe::Failed;
        if (Clock::now() >= deadline) return Probe::Busy;
        std::this_thread::sleep_for(20ms);
    }
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

bool receiveAcknowledgement(int fd, Clock::time_point deadline) {
    for (;;) {
        char byte = 0;
        const ssize_t n = ::recv(fd, &byte, 1, 0);
        if (n == 1) return byte == kAcknowledgement;
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return false;
        pollfd waiting{fd, POLLIN, 0};
        const int timeout = remainingMs(deadline);
        if (timeout == 0) return false;
        const int ready = ::poll(&waiting, 1, timeout);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
    }
}

bool validUtf8(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0) return false;
        std::size_t extra;
        std::uint32_t point;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, point = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, point = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, point = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (point < kSmallest[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

bool validLink(const std::string& link) {
    return !link.empty() && link.size() <= InstanceRegistry::kMaxLinkBytes && validUtf8(link);
}

void appendBigEndian(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t readBigEndian(const std::string& bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < 4; ++k) value = (value << 8) | static_cast<unsigned char>(bytes[at + k]);
    return value;
}

// A folder for our socket: ours, a real folder (not a link), no access for anyone else; the
// fallback must be exactly 0700.
bool privateFolder(const std::filesystem::path& path, bool exactly0700) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode) || !sameUser(info.st_uid)) return false;
    const mode_t permissions = info.st_mode & 07777;
    return exactly0700 ? permissions == 0700 : (permissions & 0077) == 0;
}

}  // namespace

struct InstanceRegistry::Client {
    int fd = -1;
    std::string buffer;
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QTimer> deadline;
};

std::optional<std::string> encodeLinks(const std::vector<std::string>& links) {
    if (links.empty() || links.size() > InstanceRegistry::kMaxLinks) return std::nullopt;
    std::string message(kMagic, sizeof kMagic);
    appendBigEndian(message, static_cast<std::uint32_t>(links.size()));
    for (const std::string& link : links) {
        if (!validLink(link)) return std::nullopt;
        appendBigEndian(message, static_cast<std::uint32_t>(link.size()));
        message += link;
    }
    return message;
}

DecodeResult decodeLinks(const std::string& bytes, std::vector<std::string>& links) {
    links.clear();
    if (bytes.size() > InstanceRegistry::kMaxMessageBytes) return DecodeResult::Malformed;
    const std::size_t magicBytes = std::min(bytes.size(), sizeof kMagic);
    if (bytes.compare(0, magicBytes, kMagic, magicBytes) != 0) return DecodeResult::Malformed;
    if (bytes.size() < 8) return DecodeResult::Incomplete;
    const std::uint32_t count = readBigEndian(bytes, 4);
    if (count == 0 || count > InstanceRegistry::kMaxLinks) return DecodeResult::Malformed;
    std::size_t at = 8;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (bytes.size() < at + 4) return DecodeResult::Incomplete;
        const std::uint32_t length = readBigEndian(bytes, at);
        if (length == 0 || length > InstanceRegistry::kMaxLinkBytes) return DecodeResult::Malformed;
        at += 4;
        if (bytes.size() < at + length) return DecodeResult::Incomplete;
        std::string link = bytes.substr(at, length);
        if (!validUtf8(link)) return DecodeResult::Malformed;
        links.push_back(std::move(link));
        at += length;
    }
    // The sender waits for our answer, so anything after the message is not a well-formed sender.
    if (at != bytes.size()) {
        links.clear();
        return DecodeResult::Malformed;
    }
    return DecodeResult::Complete;
}

std::optional<std::filesystem::path> InstanceRegistry::runtimeDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) {
        std::filesystem::path folder(runtime);
        if (folder.is_absolute() && privateFolder(folder, false)) return folder;
    }
    std::error_code error;
    std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    if (error) temporary = "/tmp";
    const std::filesystem::path fallback = temporary / ("nubrio-" + std::to_string(::getuid()));
    if (::mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    // Someone else may have made it first: it is used only when it is ours and private.
    if (!privateFolder(fallback, true)) return std::nullopt;
    return fallback;
}

std::optional<std::filesystem::path> InstanceRegistry::defaultSocketPath() {
    const std::optional<std::filesystem::path> folder = runtimeDirectory();
    if (!folder) return std::nullopt;
    std::filesystem::path path = *folder / kSocketName;
    sockaddr_un address;
    if (!socketAddress(path, address)) return std::nullopt;
    return path;
}

InstanceRegistry::InstanceRegistry(std::optional<std::filesystem::path> socketPath)
    : path_(std::move(socketPath)), context_(std::make_unique<QObject>()) {}

InstanceRegistry::~InstanceRegistry() { release(); }

void InstanceRegistry::setLinkHandler(LinkHandler handler) { handler_ = std::move(handler); }

InstanceRegistry::State InstanceRegistry::claim() {
    if (state_ == State::Holder) return state_;
    otherPid_.reset();
    if (!path_) return state_ = State::Unavailable;
    const ClaimLock lock(*path_);
    state_ = bindOrProbe();
    if (state_ == State::Holder) startServing();
    return state_;
}

InstanceRegistry::State InstanceRegistry::bindOrProbe() {
    sockaddr_un address;
    if (!socketAddress(*path_, address)) return State::Unavailable;
    // A stale file is replaced at most a few times: another claimant racing us without the lock
    // must not keep us looping.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Fd socket(newSocket());
        if (socket.get() < 0) return State::Unavailable;
        if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            // The folder is private already; the file is made user-only as well.
            ::chmod(path_->c_str(), 0600);
            struct stat info {};
            if (::listen(socket.get(), 16) != 0 || ::lstat(path_->c_str(), &info) != 0) {
                ::unlink(path_->c_str());
                return State::Unavailable;
            }
            boundDevice_ = info.st_dev;
            boundInode_ = info.st_ino;
            listenFd_ = socket.release();
            return State::Holder;
        }
        if (errno != EADDRINUSE) return State::Unavailable;

        Fd peer;
        switch (connectTo(*path_, peer)) {
        case Probe::Connected: {
            const std::optional<ucred> credentials = peerCredentials(peer.get());
            if (!credentials || !sameUser(credentials->uid)) return State::Unavailable;
            otherPid_ = credentials->pid;
            return State::OtherCopy;
        }
        case Probe::Refused: {
            // Nobody listens: the file is left over from a copy that ended without cleaning up. Only
            // a socket file of ours is removed.
            struct stat info {};
            if (::lstat(path_->c_str(), &info) != 0) continue;
            if (!S_ISSOCK(info.st_mode) || !sameUser(info.st_uid)) return State::Unavailable;
            if (::unlink(path_->c_str()) != 0 && errno != ENOENT) return State::Unavailable;
            continue;
        }
        case Probe::Missing:
            continue;
        case Probe::Busy:  // a live holder whose backlog stays full: not ours to judge
        case Probe::Failed:
            return State::Unavailable;
        }
    }
    return State::Unavailable;
}

std::vector<int> InstanceRegistry::runningPids() {
    if (state_ == State::OtherCopy) claim();
    std::vector<int> pids{static_cast<int>(::getpid())};
    if (state_ == State::OtherCopy && otherPid_) pids.push_back(*otherPid_);
    return pids;
}

bool InstanceRegistry::sendLinks(const std::vector<std::string>& links) {
    if (state_ != State::OtherCopy || !path_) return false;
    const std::optional<std::string> message = encodeLinks(links);
    if (!message) return false;
    Fd peer;
    if (connectTo(*path_, peer) != Probe::Connected) return false;
    const std::optional<ucred> credentials = peerCredentials(peer.get());
    if (!credentials || !sameUser(credentials->uid)) return false;
    if (!sendAll(peer.get(), *message, Clock::now() + kSendDeadline)) return false;
    return receiveAcknowledgement(peer.get(), Clock::now() + kAcknowledgementDeadline);
}

void InstanceRegistry::startServing() {
    listenNotifier_ = std::make_unique<QSocketNotifier>(listenFd_, QSocketNotifier::Read);
    QObject::connect(listenNotifier_.get(), &QSocketNotifier::activated, context_.get(),
                     [this] { acceptClients(); });
}

void InstanceRegistry::acceptClients() {
    // A bounded batch per wake-up keeps a flood from starving the event loop.
    for (int i = 0; i < 32; ++i) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: pause, or the still-readable socket would wake us in a loop.
                listenNotifier_->setEnabled(false);
                QTimer::singleShot(200, context_.get(), [this] {
                    if (listenNotifier_) listenNotifier_->setEnabled(true);
                });
            }
            return;
        }
        const std::optional<ucred> credentials = peerCredentials(fd);
        if (!credentials || !sameUser(credentials->uid) || clients_.size() >= kMaxClients) {
            ::close(fd);
            continue;
        }
        auto* client = new Client;
        client->fd = fd;
        client->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        client->deadline = std::make_unique<QTimer>();
        client->deadline->setSingleShot(true);
        QObject::connect(client->notifier.get(), &QSocketNotifier::activated, context_.get(),
                         [this, client] { clientReadable(client); });
        QObject::connect(client->deadline.get(), &QTimer::timeout, context_.get(),
                         [this, client] { finishClient(client, false); });
        client->deadline->start(kClientDeadlineMs);
        clients_.push_back(client);
    }
}

void InstanceRegistry::clientReadable(Client* client) {
    char chunk[8192];
    for (;;) {
        const std::size_t room = kMaxMessageBytes + 1 - client->buffer.size();
        const ssize_t n = ::recv(client->fd, chunk, std::min(sizeof chunk, room), 0);
        if (n > 0) {
            client->buffer.append(chunk, static_cast<std::size_t>(n));
            if (client->buffer.size() > kMaxMessageBytes) return finishClient(client, false);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        // End of stream or an error: whatever came is all there is.
        std::vector<std::string> links;
        if (decodeLinks(client->buffer, links) != DecodeResult::Complete) return finishClient(client, false);
        break;
    }
    std::vector<std::string> links;
    switch (decodeLinks(client->buffer, links)) {
    case DecodeResult::Incomplete:
        return;
    case DecodeResult::Malformed:
        return finishClient(client, false);
    case DecodeResult::Complete:
        break;
    }
    // Detached first: the handler may end the application, and with it release() every client.
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
    const bool taken = handler_ && handler_(links);
    finishClient(client, taken);
}

void InstanceRegistry::finishClient(Client* client, bool acknowledge) {
    if (acknowledge) ::send(client->fd, &kAcknowledgement, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
    client->notifier->setEnabled(false);
    client->deadline->stop();
    ::close(client->fd);
    // We may be inside the notifier's or the timer's own signal: both go once it has returned.
    client->notifier.release()->deleteLater();
    client->deadline.release()->deleteLater();
    delete client;
}

void InstanceRegistry::release() {
    for (Client* client : std::vector<Client*>(clients_)) finishClient(client, false);
    listenNotifier_.reset();
    if (listenFd_ >= 0) {
        const ClaimLock lock(*path_);
        // A copy that found our socket stale (we were frozen) may have bound its own since.
        struct stat info {};
        if (::lstat(path_->c_str(), &info) == 0 && info.st_dev == boundDevice_ && info.st_ino == boundInode_)
            ::unlink(path_->c_str());
        ::close(listenFd_);
        listenFd_ = -1;
    }
    if (state_ != State::Unclaimed) state_ = State::Unavailable;
    otherPid_.reset();
}

}  // namespace nubrio::linux_platform
