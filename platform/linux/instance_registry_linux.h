#pragma once
// One running copy per user: a Unix stream socket named after the bundle identifier in the user's
// private runtime folder. Its holder is the running copy; a later copy finds it there (its pid
// through SO_PEERCRED) and can hand it the links it was started with.
//
// Trust: only a peer of our own uid is believed, in both directions. A socket in our folder that is
// held or owned by another uid (only root could put it there) is neither used nor removed: this copy
// then runs without the registry, as if no other copy ran, and keeps the links it was given.
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <filesystem>
#include <string>
#include <vector>

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

    // Links come from our own uid only; true when they were taken (the sender then exits).
    using LinkHandler = std::function<bool(const std::vector<std::string>& links)>;

    // Bounds of one hand-over message.
    static constexpr std::size_t kMaxLinks = 16;
    static constexpr std::size_t kMaxLinkBytes = 4096;
    static constexpr std::size_t kMaxMessageBytes = 8 + kMaxLinks * (4 + kMaxLinkBytes);
    // Hand-overs served at once; further connections are closed on arrival.
    static constexpr std::size_t kMaxClients = 8;

    // $XDG_RUNTIME_DIR when it is ours and private, else <tmp>/nubrio-<uid>, created 0700 and then
    // required to be a folder of ours with mode 0700. None when neither can be had.
    static std::optional<std::filesystem::path> runtimeDirectory();
    // The socket "app.nubrio.desktop" in the runtime folder; none without one, or when the path is
    // too long for a socket address.
    static std::optional<std::filesystem::path> defaultSocketPath();

    explicit InstanceRegistry(std::optional<std::filesystem::path> socketPath);
    // Releases the socket (see release()).
    ~InstanceRegistry();
    InstanceRegistry(const InstanceRegistry&) = delete;
    InstanceRegistry& operator=(const InstanceRegistry&) = delete;

    // Main thread. Binds the socket, or finds who holds it: a live holder of ours is never replaced;
    // a stale socket file of ours (nobody listening) is replaced.
    State claim();
    State state() const { return state_; }
    // The holder's pid when another copy runs.
    std::optional<int> otherPid() const { return otherPid_; }
    const std::optional<std::filesystem::path>& socketPath() const { return path_; }

    // This process, and the holder when another copy runs. When another copy was seen, the socket is
    // looked at again first, so a holder that has ended since is not counted (and this copy may
    // become the holder).
    std::vector<int> runningPids();

    // Hands the links to the live holder and waits, bounded, for its acknowledgement. False when
    // there is no such holder, the links exceed the bounds, or the holder did not take them.
    bool sendLinks(const std::vector<std::string>& links);

    // Where the holder delivers hand-overs, on the main thread.
    void setLinkHandler(LinkHandler handler);

    // Stops serving, and removes the socket file if it is still the one this process bound.
    void release();

    struct Client;

private:
    State bindOrProbe();
    void startServing();
    void acceptClients();
    void finishClient(Client* client, bool acknowledge);
    void clientReadable(Client* client);

    std::optional<std::filesystem::path> path_;
    State state_ = State::Unclaimed;
    std::optional<int> otherPid_;
    int listenFd_ = -1;
    unsigned long long boundDevice_ = 0, boundInode_ = 0;
    LinkHandler handler_;
    std::unique_ptr<QObject> context_;
    std::unique_ptr<QSocketNotifier> listenNotifier_;
    std::vector<Client*> clients_;
};

// The wire form of a hand-over: "NBL1", a big-endian 32-bit count, then per link a big-endian 32-bit
// length and that many bytes of UTF-8. Exposed for tests.
// None when the links exceed the bounds or are not UTF-8.
std::optional<std::string> encodeLinks(const std::vector<std::string>& links);
enum class DecodeResult { Incomplete, Complete, Malformed };
DecodeResult decodeLinks(const std::string& bytes, std::vector<std::string>& links);

}  // namespace nubrio::linux_platform
