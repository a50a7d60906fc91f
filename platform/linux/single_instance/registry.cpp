#include "platform/linux/single_instance/registry.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <thread>
#include <unistd.h>

#include "app/build_config.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/single_instance/runtime_folder.h"
#include "platform/linux/single_instance/socket.h"

namespace nubrio::linux_platform {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using instance_socket::Probe;

constexpr int kClientDeadlineMs = 2000;
constexpr auto kLockDeadline = 2s;
// Between bind and listen a live claimant refuses connections for a moment; without the lock a
// refusal is looked at again this long before it counts as a socket nobody will answer.
constexpr auto kUnlockedRefusalPatience = 1s;

bool takeLock(int fd) {
    const Clock::time_point deadline = Clock::now() + kLockDeadline;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Serialises claims between copies started at the same moment, so that none sees another's socket
// between bind and listen and takes it for stale. The lock file beside the socket first; when that
// path cannot be opened, the folder itself, which is ours and private. The lock goes with the object.
class ClaimLock {
public:
    explicit ClaimLock(const std::filesystem::path& socket) {
        const std::string lockPath = socket.string() + ".lock";
        fd_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd_.valid()) fd_.reset(::open(socket.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        held_ = fd_.valid() && takeLock(fd_.get());
    }
    bool held() const { return held_; }

private:
    UniqueFd fd_;
    bool held_ = false;
};

}  // namespace

struct InstanceRegistry::Client {
    UniqueFd fd;
    std::string buffer;
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QTimer> deadline;
};

std::optional<std::filesystem::path> InstanceRegistry::defaultSocketPath() {
    const std::string name = config::BundleIdentifier;
    const std::optional<std::filesystem::path> folder =
        runtimeFolder(RuntimeFolderCandidates::forThisUser(), name);
    if (!folder) return std::nullopt;
    return *folder / name;
}

InstanceRegistry::InstanceRegistry(std::optional<std::filesystem::path> socketPath)
    : path_(std::move(socketPath)), context_(std::make_unique<QObject>()) {}

InstanceRegistry::InstanceRegistry(std::optional<std::filesystem::path> socketPath, UniqueFd inherited)
    : path_(std::move(socketPath)), inherited_(std::move(inherited)), context_(std::make_unique<QObject>()) {}

InstanceRegistry::~InstanceRegistry() { release(); }

void InstanceRegistry::setHandOverHandler(HandOverHandler handler) { handler_ = std::move(handler); }

InstanceRegistry::State InstanceRegistry::claim() {
    if (state_ == State::Holder) return state_;
    otherPid_.reset();
    unusable_ = Unusable::None;
    if (!path_) {
        program_log::write("single instance off: no private folder for its socket");
        unusable_ = Unusable::NoFolder;
        return state_ = State::Unavailable;
    }
    const ClaimLock lock(*path_);
    if (takeOverInherited()) {
        tookOver_ = true;
        startServing();
        return state_ = State::Holder;
    }
    state_ = bindOrProbe(lock.held());
    if (state_ == State::Holder) startServing();
    if (state_ == State::Unavailable) {
        static constexpr const char* kWhy[] = {"", "no private folder", "not a stream socket",
                                               "another user's socket", "its listener does not accept",
                                               "the system refused"};
        program_log::write("single instance off: cannot use " + path_->string() + ": " +
                           kWhy[static_cast<int>(unusable_)]);
    }
    return state_;
}

InstanceRegistry::State InstanceRegistry::unavailable(Unusable why) {
    unusable_ = why;
    return State::Unavailable;
}

InstanceRegistry::State InstanceRegistry::bindOrProbe(bool locked) {
    if (!instance_socket::fits(*path_)) return unavailable(Unusable::Failed);
    const Clock::time_point patience = Clock::now() + kUnlockedRefusalPatience;
    // A stale file is replaced at most a few times: a claimant racing us must not keep us looping.
    for (int attempt = 0; attempt < 3;) {
        instance_socket::Bound bound = instance_socket::bindTo(*path_);
        if (!bound.error) {
            UniqueFd socket = std::move(bound.socket);
            // The folder is private already; the file is made user-only as well.
            ::chmod(path_->c_str(), 0600);
            struct stat info {};
            if (::listen(socket.get(), 16) != 0 || ::lstat(path_->c_str(), &info) != 0) {
                ::unlink(path_->c_str());
                return unavailable(Unusable::Failed);
            }
            boundDevice_ = info.st_dev;
            boundInode_ = info.st_ino;
            listener_ = std::move(socket);
            return State::Holder;
        }
        if (bound.error->code != EADDRINUSE) {
            program_log::write("single instance: cannot bind its socket: " + bound.error->message);
            return unavailable(Unusable::Failed);
        }

        UniqueFd peer;
        switch (instance_socket::connectTo(*path_, peer)) {
        case Probe::Connected: {
            const std::optional<ucred> credentials = instance_socket::peerCredentials(peer.get());
            if (!credentials || !instance_socket::sameUser(credentials->uid)) return unavailable(Unusable::OtherUser);
            otherPid_ = credentials->pid;
            return State::OtherCopy;
        }
        case Probe::Refused: {
            // Nobody listens: left over from a copy that ended without cleaning up, or a copy between
            // bind and listen. Only under the lock can we tell the two apart.
            if (!locked) {
                if (Clock::now() >= patience) return unavailable(Unusable::Failed);
                std::this_thread::sleep_for(20ms);
                continue;
            }
            // Only a socket file of ours is removed.
            struct stat info {};
            ++attempt;
            if (::lstat(path_->c_str(), &info) != 0) continue;
            if (!S_ISSOCK(info.st_mode)) return unavailable(Unusable::WrongKind);
            if (!instance_socket::sameUser(info.st_uid)) return unavailable(Unusable::OtherUser);
            if (::unlink(path_->c_str()) != 0 && errno != ENOENT) return unavailable(Unusable::Failed);
            continue;
        }
        case Probe::Missing:
            ++attempt;
            continue;
        case Probe::Busy:  // a live holder whose backlog stays full: not ours to judge
            return unavailable(Unusable::Busy);
        case Probe::WrongKind:  // a same-user process put it there: neither used nor removed
            return unavailable(Unusable::WrongKind);
        case Probe::Failed:
            return unavailable(Unusable::Failed);
        }
    }
    return unavailable(Unusable::Failed);
}

// The socket handed on is ours to hold only while it is still the one at the path: listening, bound
// to that path, and the path a socket of our own. Otherwise it is closed and the claim goes on as usual.
bool InstanceRegistry::takeOverInherited() {
    UniqueFd socket = std::move(inherited_);
    if (!socket.valid()) return false;
    struct stat info {};
    if (sd_is_socket_unix(socket.get(), SOCK_STREAM, 1, path_->c_str(), 0) <= 0 || ::lstat(path_->c_str(), &info) != 0 ||
        !S_ISSOCK(info.st_mode) || !instance_socket::sameUser(info.st_uid))
        return false;
    boundDevice_ = info.st_dev;
    boundInode_ = info.st_ino;
    listener_ = std::move(socket);
    return true;
}

std::vector<int> InstanceRegistry::runningPids() {
    if (state_ == State::OtherCopy) claim();
    std::vector<int> pids{static_cast<int>(::getpid())};
    if (state_ == State::OtherCopy && otherPid_) pids.push_back(*otherPid_);
    return pids;
}

bool InstanceRegistry::handOver(const handover::Message& message, instance_socket::Delivery* outcome) {
    using instance_socket::Delivery;
    Delivery delivery = Delivery::Unreachable;
    const std::optional<std::string> bytes = handover::encode(message);
    if (state_ == State::OtherCopy && path_ && bytes) {
        // A holder busy with other clients frees a slot within its client deadline.
        const Clock::time_point patience = Clock::now() + kBusyPatience;
        while ((delivery = instance_socket::deliver(*path_, *bytes)) == Delivery::Busy && Clock::now() < patience)
            std::this_thread::sleep_for(100ms);
    }
    if (outcome) *outcome = delivery;
    return delivery == Delivery::Taken;
}

void InstanceRegistry::startServing() {
    listenNotifier_ = std::make_unique<QSocketNotifier>(listener_.get(), QSocketNotifier::Read);
    QObject::connect(listenNotifier_.get(), &QSocketNotifier::activated, context_.get(),
                     [this] { acceptClients(); });
}

void InstanceRegistry::acceptClients() {
    // A bounded batch per wake-up keeps a flood from starving the event loop.
    for (int i = 0; i < 32; ++i) {
        UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd.valid()) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: pause, or the still-readable socket would wake us in a loop.
                listenNotifier_->setEnabled(false);
                QTimer::singleShot(200, context_.get(), [this] {
                    if (listenNotifier_) listenNotifier_->setEnabled(true);
                });
            }
            return;
        }
        const std::optional<ucred> credentials = instance_socket::peerCredentials(fd.get());
        if (!credentials || !instance_socket::sameUser(credentials->uid)) continue;  // closed as `fd` goes
        if (clients_.size() >= kMaxClients) {
            // Said, so that the sender tries again rather than taking it for a refusal.
            ::send(fd.get(), &handover::kBusy, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            continue;
        }
        auto client = std::make_unique<Client>();
        Client* raw = client.get();
        client->notifier = std::make_unique<QSocketNotifier>(fd.get(), QSocketNotifier::Read);
        client->fd = std::move(fd);
        client->deadline = std::make_unique<QTimer>();
        client->deadline->setSingleShot(true);
        QObject::connect(client->notifier.get(), &QSocketNotifier::activated, context_.get(),
                         [this, raw] { clientReadable(raw); });
        QObject::connect(client->deadline.get(), &QTimer::timeout, context_.get(),
                         [this, raw] { finishClient(raw, false); });
        client->deadline->start(kClientDeadlineMs);
        clients_.push_back(std::move(client));
    }
}

InstanceRegistry::Received InstanceRegistry::receive(Client* client) {
    char chunk[8192];
    for (;;) {
        const std::size_t room = handover::kMaxMessageBytes + 1 - client->buffer.size();
        const ssize_t n = ::recv(client->fd.get(), chunk, std::min(sizeof chunk, room), 0);
        if (n > 0) {
            client->buffer.append(chunk, static_cast<std::size_t>(n));
            if (client->buffer.size() > handover::kMaxMessageBytes) return Received::TooMuch;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return Received::More;
        return Received::Ended;  // end of stream or an error: whatever came is all there is
    }
}

void InstanceRegistry::clientReadable(Client* client) {
    const Received received = receive(client);
    if (received == Received::TooMuch) return finishClient(client, false);
    handover::Message message;
    switch (handover::decode(client->buffer, message)) {
    case handover::DecodeResult::Incomplete:
        if (received == Received::Ended) finishClient(client, false);
        return;
    case handover::DecodeResult::Malformed:
        return finishClient(client, false);
    case handover::DecodeResult::Complete:
        break;
    }
    // Detached first: the handler may end the application, and with it release() every client.
    auto found = std::find_if(clients_.begin(), clients_.end(), [client](const auto& c) { return c.get() == client; });
    std::unique_ptr<Client> detached = std::move(*found);
    clients_.erase(found);
    const bool taken = handler_ && handler_(message);
    clients_.push_back(std::move(detached));
    finishClient(client, taken);
}

void InstanceRegistry::finishClient(Client* client, bool acknowledge) {
    auto found = std::find_if(clients_.begin(), clients_.end(), [client](const auto& c) { return c.get() == client; });
    if (found == clients_.end()) return;
    std::unique_ptr<Client> finished = std::move(*found);
    clients_.erase(found);
    if (acknowledge) ::send(finished->fd.get(), &handover::kAcknowledgement, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    finished->notifier->setEnabled(false);
    finished->deadline->stop();
    // We may be inside the notifier's or the timer's own signal: both go once it has returned.
    finished->notifier.release()->deleteLater();
    finished->deadline.release()->deleteLater();
}

int InstanceRegistry::listenerToHandOn(std::vector<std::string>& links) {
    if (state_ != State::Holder || !listener_.valid()) return -1;
    struct stat info {};
    if (::lstat(path_->c_str(), &info) != 0 || info.st_dev != boundDevice_ || info.st_ino != boundInode_) return -1;
    listenNotifier_.reset();
    // Clients accepted already: links that have come whole go along with the program that takes
    // over, and are acknowledged; anything else is let go unanswered.
    while (!clients_.empty()) {
        Client* client = clients_.back().get();
        handover::Message message;
        const bool taken = receive(client) != Received::TooMuch &&
                           handover::decode(client->buffer, message) == handover::DecodeResult::Complete &&
                           message.command.empty() && !message.links.empty();
        if (taken) links.insert(links.end(), message.links.begin(), message.links.end());
        finishClient(client, taken);
    }
    return listener_.get();
}

void InstanceRegistry::release() {
    while (!clients_.empty()) finishClient(clients_.back().get(), false);
    listenNotifier_.reset();
    if (listener_.valid()) {
        const ClaimLock lock(*path_);
        // A copy that found our socket stale (we were frozen) may have bound its own since.
        struct stat info {};
        if (::lstat(path_->c_str(), &info) == 0 && info.st_dev == boundDevice_ && info.st_ino == boundInode_)
            ::unlink(path_->c_str());
        listener_.reset();
    }
    if (state_ != State::Unclaimed) state_ = State::Unavailable;
    otherPid_.reset();
}

}  // namespace nubrio::linux_platform
