#pragma once
// One running copy per user: a Unix stream socket named after the bundle identifier in the user's
// private runtime folder. Its holder is the running copy; a later copy finds it there (its pid
// through SO_PEERCRED) and can hand it the links it was started with, or a menu command.
//
// Trust: only a peer of our own uid is believed, in both directions. A socket in our folder that is
// held or owned by another uid (only root could put it there) is neither used nor removed: this copy
// then runs without the registry, as if no other copy ran, and keeps the links it was given.
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/base/unique_fd.h"
#include "platform/linux/single_instance/handover.h"
#include "platform/linux/single_instance/socket.h"

class QObject;
class QSocketNotifier;

namespace nubrio::linux_platform {

class InstanceRegistry {
public:
    enum class State {
        Unclaimed,    // claim() not called yet
        Holder,       // this process holds the socket and accepts hand-overs
        OtherCopy,    // a live process of ours holds it
        Unavailable,  // no private folder, a foreign or unusable socket, or released
    };

    // Hand-overs come from our own uid only; true when the message was taken (the sender then exits).
    using HandOverHandler = std::function<bool(const handover::Message& message)>;

    // Hand-overs served at once; further connections are told so (handover::kBusy) and closed on arrival.
    static constexpr std::size_t kMaxClients = 8;
    // How long a hand-over is tried again while the holder is busy.
    static constexpr std::chrono::milliseconds kBusyPatience{5000};

    // Why the registry is Unavailable.
    enum class Unusable {
        None,
        NoFolder,   // no private folder for the socket
        WrongKind,  // something at the path that is not a stream socket (a file, a datagram socket)
        OtherUser,  // a socket held or owned by another user
        Busy,       // a listener whose backlog stays full
        Failed,     // the system refused (the error is in the log)
    };

    // The socket, named by the bundle identifier, in this user's runtime folder (runtime_folder.h);
    // none without one.
    static std::optional<std::filesystem::path> defaultSocketPath();

    explicit InstanceRegistry(std::optional<std::filesystem::path> socketPath);
    // The same, given the listening socket that the program this one replaced held (see
    // listenerToHandOn): claim() takes it over when it is still the one at the path.
    InstanceRegistry(std::optional<std::filesystem::path> socketPath, UniqueFd inherited);
    // Releases the socket (see release()).
    ~InstanceRegistry();
    InstanceRegistry(const InstanceRegistry&) = delete;
    InstanceRegistry& operator=(const InstanceRegistry&) = delete;

    // Main thread. Binds the socket, or finds who holds it: a live holder of ours is never replaced;
    // a stale socket file of ours (nobody listening) is replaced, but only under the claim lock.
    State claim();
    // Whether claim() took over the socket of the program this one replaced.
    bool tookOver() const { return tookOver_; }
    State state() const { return state_; }
    // The holder's pid when another copy runs.
    std::optional<int> otherPid() const { return otherPid_; }
    const std::optional<std::filesystem::path>& socketPath() const { return path_; }

    // This process, and the holder when another copy runs. When another copy was seen, the socket is
    // looked at again first, so a holder that has ended since is not counted (and this copy may
    // become the holder).
    std::vector<int> runningPids();

    // Hands the message to the live holder and waits, bounded, for its acknowledgement; a holder
    // that is busy is asked again for up to kBusyPatience. False when there is no such holder, the
    // message exceeds the bounds, or the holder did not take it; `outcome` then says how it ended.
    bool handOver(const handover::Message& message, instance_socket::Delivery* outcome = nullptr);
    Unusable unusable() const { return unusable_; }

    // Where the holder delivers hand-overs, on the main thread.
    void setHandOverHandler(HandOverHandler handler);

    // Stops serving, and removes the socket file if it is still the one this process bound.
    void release();

    // Stops serving but keeps the socket for the program that takes this one's place: its listening
    // descriptor (still owned here), or -1 when the socket at the path is not this holder's. The links
    // of clients being served whose message has come whole are added to `links` and acknowledged;
    // other clients are let go unanswered. Those that connect from now on wait for the new holder.
    int listenerToHandOn(std::vector<std::string>& links);

private:
    struct Client;

    enum class Received { More, Ended, TooMuch };
    // Reads what the client has sent so far into its buffer.
    Received receive(Client* client);
    State bindOrProbe(bool locked);
    bool takeOverInherited();
    State unavailable(Unusable why);
    void startServing();
    void acceptClients();
    void clientReadable(Client* client);
    void finishClient(Client* client, bool acknowledge);

    std::optional<std::filesystem::path> path_;
    State state_ = State::Unclaimed;
    Unusable unusable_ = Unusable::None;
    std::optional<int> otherPid_;
    UniqueFd listener_;
    UniqueFd inherited_;
    bool tookOver_ = false;
    unsigned long long boundDevice_ = 0, boundInode_ = 0;
    HandOverHandler handler_;
    std::unique_ptr<QObject> context_;
    std::unique_ptr<QSocketNotifier> listenNotifier_;
    std::vector<std::unique_ptr<Client>> clients_;
};

}  // namespace nubrio::linux_platform
