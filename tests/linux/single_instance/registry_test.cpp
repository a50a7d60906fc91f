// The single-instance socket: claims, live and stale holders, and link hand-over between copies.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/linux/single_instance/handover.h"
#include "platform/linux/single_instance/registry.h"
#include "platform/linux/single_instance/runtime_folder.h"
#include "support/privileges.h"
#include "support/spin.h"
#include "support/temp_home.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nubrio::linux_platform::InstanceRegistry;
using State = InstanceRegistry::State;
namespace handover = nubrio::linux_platform::handover;

handover::Message links(std::vector<std::string> list) { return {std::move(list), {}}; }

// Serves only links, as the program does with the links a later copy was started with.
void onLinks(InstanceRegistry& holder, std::function<bool(const std::vector<std::string>&)> handler) {
    holder.setHandOverHandler([handler = std::move(handler)](const handover::Message& message) {
        return message.command.empty() && handler(message.links);
    });
}
using nubrio::testing::spinUntil;
using ::testing::ElementsAre;

// Generous: nothing here measures speed.
constexpr auto kDeadline = 30s;

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (saved_)
            setenv(name_, saved_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

fs::path makeFolder(const fs::path& path, mode_t mode) {
    fs::create_directories(path);
    chmod(path.c_str(), mode);
    return path;
}

class InstanceRegistryTest : public ::testing::Test {
protected:
    nubrio::testing::TempHome home;
    fs::path runtime = makeFolder(home.path() / "run", 0700);
    ScopedEnv runtimeEnv{"XDG_RUNTIME_DIR", runtime.string()};
    // The fallback folder goes under the temporary home too.
    ScopedEnv tmpEnv{"TMPDIR", makeFolder(home.path() / "tmp", 0755).string()};
    fs::path socket = runtime / "app.nubrio.desktop";
};

// Runs `work` on another thread while this one serves the event loop, as a second copy would.
template <typename Work>
auto fromAnotherProcessLikeThread(Work work) {
    std::future<decltype(work())> result = std::async(std::launch::async, work);
    EXPECT_TRUE(spinUntil([&] { return result.wait_for(0s) == std::future_status::ready; }, kDeadline));
    return result.get();
}

// A raw client: sends the bytes, half-closes, and reports whether the holder acknowledged.
bool sendRaw(const fs::path& path, const std::string& bytes) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return false;
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the holder may close on us halfway through an oversized message
        sent += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    pollfd waiting{fd, POLLIN, 0};
    char byte = 0;
    const bool acknowledged = poll(&waiting, 1, 30000) == 1 && recv(fd, &byte, 1, 0) == 1;
    close(fd);
    return acknowledged;
}

std::string bigEndian(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

// Starts a helper of tests/linux/helpers with the socket's path, its standard output (and input, when
// asked for) on pipes whose other ends are handed back.
pid_t spawnHelper(const char* name, const fs::path& socket, int* stdinWrite, int* stdoutRead) {
    int in[2] = {-1, -1}, out[2];
    if (stdinWrite) {
        EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
    }
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinWrite) posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string program = std::string(NUBRIO_TEST_HELPERS_DIR) + "/" + name;
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(socket.c_str()), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    if (stdinWrite) {
        close(in[0]);
        *stdinWrite = in[1];
    }
    close(out[1]);
    *stdoutRead = out[0];
    return pid;
}

// A holder in another process: the helper binds and listens at the path.
class SocketHolder {
public:
    explicit SocketHolder(const fs::path& socket) {
        int out = -1;
        pid_ = spawnHelper("socket_holder", socket, nullptr, &out);
        char line[16] = {};
        pollfd waiting{out, POLLIN, 0};
        ready_ = poll(&waiting, 1, 30000) == 1 && read(out, line, sizeof line - 1) > 0 &&
                 std::string(line).rfind("ready", 0) == 0;
        close(out);
    }
    ~SocketHolder() { kill(); }
    bool ready() const { return ready_; }
    pid_t pid() const { return pid_; }
    // Ends it at once: the socket file stays behind, as after a crash.
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

ino_t inodeOf(const fs::path& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

TEST_F(InstanceRegistryTest, FirstClaimWinsAndLaterOnesSeeTheLiveHolder) {
    ASSERT_EQ(InstanceRegistry::defaultSocketPath(), std::optional<fs::path>(socket));
    InstanceRegistry first(socket);
    ASSERT_EQ(first.claim(), State::Holder);

    struct stat info {};
    ASSERT_EQ(lstat(socket.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const ino_t bound = info.st_ino;

    InstanceRegistry second(socket);
    EXPECT_EQ(second.claim(), State::OtherCopy);
    EXPECT_EQ(second.otherPid(), std::optional<int>(getpid()));
    EXPECT_EQ(inodeOf(socket), bound) << "a live holder is never replaced";
    EXPECT_THAT(first.runningPids(), ElementsAre(getpid()));
    EXPECT_THAT(second.runningPids(), ElementsAre(getpid(), getpid()));
}

TEST_F(InstanceRegistryTest, HolderInAnotherProcessIsCountedUntilItDiesThenItsSocketIsReplaced) {
    SocketHolder other(socket);
    ASSERT_TRUE(other.ready());

    InstanceRegistry registry(socket);
    ASSERT_EQ(registry.claim(), State::OtherCopy);
    EXPECT_EQ(registry.otherPid(), std::optional<int>(other.pid()));
    EXPECT_THAT(registry.runningPids(), ElementsAre(getpid(), other.pid()));

    other.kill();
    ASSERT_TRUE(fs::exists(fs::symlink_status(socket))) << "a killed holder leaves its socket file";
    // Looking again finds nobody listening: the stale file is replaced and this copy holds it.
    EXPECT_THAT(registry.runningPids(), ElementsAre(getpid()));
    EXPECT_EQ(registry.state(), State::Holder);
    EXPECT_EQ(InstanceRegistry(socket).claim(), State::OtherCopy);
}

// Bound but never listening, as left by a copy that crashed.
void leaveStaleSocket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
}

TEST_F(InstanceRegistryTest, StaleSocketFileIsReplacedAndRemovedOnRelease) {
    leaveStaleSocket(socket);
    InstanceRegistry registry(socket);
    EXPECT_EQ(registry.claim(), State::Holder);
    EXPECT_THAT(registry.runningPids(), ElementsAre(getpid()));

    registry.release();
    EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));
}

TEST_F(InstanceRegistryTest, ReleaseLeavesASocketThatIsNoLongerOurs) {
    InstanceRegistry registry(socket);
    ASSERT_EQ(registry.claim(), State::Holder);
    // Another copy took the path over while this one was frozen.
    fs::remove(socket);
    SocketHolder other(socket);
    ASSERT_TRUE(other.ready());

    registry.release();
    EXPECT_TRUE(fs::exists(fs::symlink_status(socket)));
    EXPECT_EQ(InstanceRegistry(socket).claim(), State::OtherCopy);
}

TEST_F(InstanceRegistryTest, ForeignFileAtTheSocketPathIsLeftAlone) {
    std::ofstream(socket) << "not a socket";
    InstanceRegistry registry(socket);
    EXPECT_EQ(registry.claim(), State::Unavailable);
    EXPECT_THAT(registry.runningPids(), ElementsAre(getpid()));
    EXPECT_EQ(registry.unusable(), InstanceRegistry::Unusable::WrongKind);
    EXPECT_FALSE(registry.handOver(links({"nubrio://connect"})));
    EXPECT_TRUE(fs::is_regular_file(socket));
}

// A datagram socket planted at the path is nobody's hand-over socket: refused like a foreign file,
// and left where it is; a launcher's action then knows it cannot tell whether a copy runs.
TEST_F(InstanceRegistryTest, SocketOfAnotherKindAtThePathIsRefusedAndLeftAlone) {
    const int planted = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket.c_str());
    ASSERT_EQ(bind(planted, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const ino_t before = inodeOf(socket);

    InstanceRegistry registry(socket);
    EXPECT_EQ(registry.claim(), State::Unavailable);
    EXPECT_EQ(registry.unusable(), InstanceRegistry::Unusable::WrongKind);
    nubrio::linux_platform::instance_socket::Delivery outcome{};
    EXPECT_FALSE(registry.handOver({{}, "quit"}, &outcome));
    EXPECT_EQ(outcome, nubrio::linux_platform::instance_socket::Delivery::Unreachable);
    registry.release();
    EXPECT_EQ(inodeOf(socket), before) << "left where it is";
    close(planted);
}

// The candidates for the socket's folder, all inside the temporary home.
struct Candidates {
    fs::path root;
    nubrio::linux_platform::RuntimeFolderCandidates folders{
        root / "xdg-runtime", root / "run-user", root / "cache/nubrio", root / ("tmp/nubrio-" + std::to_string(getuid()))};
};

TEST_F(InstanceRegistryTest, SocketFolderIsTheFirstPrivateFolderOfOurs) {
    using nubrio::linux_platform::runtimeFolder;
    const std::string name = "app.nubrio.desktop";
    struct Case {
        const char* name;
        std::function<void(const Candidates&)> prepare;
        const char* expected;  // which candidate, or "none"
    };
    const std::vector<Case> table = {
        {"XDG_RUNTIME_DIR when it is private", [](const Candidates& c) {
             makeFolder(*c.folders.xdgRuntimeDir, 0700);
             makeFolder(c.folders.userRuntimeDir, 0700);
         }, "xdg"},
        {"without XDG_RUNTIME_DIR, the login manager's folder all copies share", [](const Candidates& c) {
             makeFolder(c.folders.userRuntimeDir, 0700);
         }, "user"},
        {"an XDG_RUNTIME_DIR that others may enter is passed over", [](const Candidates& c) {
             makeFolder(*c.folders.xdgRuntimeDir, 0750);
             makeFolder(c.folders.userRuntimeDir, 0700);
         }, "user"},
        {"no runtime folder: a private one in the cache folder, made here", [](const Candidates&) {}, "cache"},
        {"a cache folder somebody opened is passed over for the temporary one", [](const Candidates& c) {
             makeFolder(c.folders.cacheFolder, 0755);
         }, "tmp"},
        {"a link in the cache folder's place is not followed", [](const Candidates& c) {
             fs::create_directories(c.folders.cacheFolder.parent_path());
             fs::create_symlink(makeFolder(c.root / "elsewhere", 0700), c.folders.cacheFolder);
         }, "tmp"},
        {"another user's folder at the temporary place is never used", [](const Candidates& c) {
             makeFolder(c.folders.cacheFolder, 0755);
             makeFolder(c.folders.temporaryFolder, 0755);  // as if made first by someone else
         }, "none"},
    };
    for (const Case& row : table) {
        SCOPED_TRACE(row.name);
        nubrio::testing::TempHome scratch;
        Candidates candidates{scratch.path()};
        row.prepare(candidates);
        const std::optional<fs::path> folder = runtimeFolder(candidates.folders, name);
        const std::string expected = row.expected;
        if (expected == "none") {
            EXPECT_EQ(folder, std::nullopt);
            continue;
        }
        const fs::path wanted = expected == "xdg"     ? *candidates.folders.xdgRuntimeDir
                                : expected == "user"  ? candidates.folders.userRuntimeDir
                                : expected == "cache" ? candidates.folders.cacheFolder
                                                      : candidates.folders.temporaryFolder;
        ASSERT_EQ(folder, std::optional<fs::path>(wanted));
        if (expected == "cache" || expected == "tmp") {
            struct stat info {};
            ASSERT_EQ(lstat(wanted.c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 07777, 0700u);
        }
    }
    // A folder whose socket path would not fit a socket address is passed over too.
    nubrio::testing::TempHome scratch;
    Candidates candidates{scratch.path()};
    candidates.folders.xdgRuntimeDir = makeFolder(scratch.path() / std::string(120, 'r'), 0700);
    makeFolder(candidates.folders.userRuntimeDir, 0700);
    EXPECT_EQ(runtimeFolder(candidates.folders, name), std::optional<fs::path>(candidates.folders.userRuntimeDir));
}

TEST_F(InstanceRegistryTest, HandOverDeliversLinksInOrder) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    std::vector<std::vector<std::string>> received;
    onLinks(holder, [&](const std::vector<std::string>& links) {
        received.push_back(links);
        return true;
    });

    const std::string longLink = "nubrio://connect/" + std::string(handover::kMaxLinkBytes - 17, 'x');
    const bool sent = fromAnotherProcessLikeThread([&] {
        InstanceRegistry copy(socket);
        return copy.claim() == State::OtherCopy && copy.handOver(links({"nubrio://connect?a=1", "https://nubrio.app/ñ"})) &&
               copy.handOver(links({longLink}));
    });

    EXPECT_TRUE(sent);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_THAT(received[0], ElementsAre("nubrio://connect?a=1", "https://nubrio.app/ñ"));
    EXPECT_THAT(received[1], ElementsAre(longLink));
}

TEST_F(InstanceRegistryTest, HandOverFailsWhenTheHolderDoesNotTakeTheLinks) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    onLinks(holder, [](const std::vector<std::string>&) { return false; });

    EXPECT_FALSE(fromAnotherProcessLikeThread([&] {
        InstanceRegistry copy(socket);
        copy.claim();
        return copy.handOver(links({"nubrio://connect"}));
    }));
}

TEST_F(InstanceRegistryTest, LinksBeyondTheBoundsAreNotSent) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    int handed = 0;
    onLinks(holder, [&](const std::vector<std::string>&) { return ++handed, true; });

    const std::vector<std::vector<std::string>> refused = {
        {},
        std::vector<std::string>(handover::kMaxLinks + 1, "nubrio://connect"),
        {std::string(handover::kMaxLinkBytes + 1, 'n')},
        {""},
        {"nubrio://\xff\xfe"},
    };
    fromAnotherProcessLikeThread([&] {
        InstanceRegistry copy(socket);
        copy.claim();
        for (const auto& list : refused) EXPECT_FALSE(copy.handOver(links(list)));
        return 0;
    });
    EXPECT_EQ(handed, 0);
}

TEST_F(InstanceRegistryTest, MalformedMessagesAreDroppedAndTheHolderKeepsServing) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    std::vector<std::vector<std::string>> received;
    onLinks(holder, [&](const std::vector<std::string>& links) {
        received.push_back(links);
        return true;
    });

    const std::string link = "nubrio://connect";
    const std::string one = "NBL1" + bigEndian(1) + bigEndian(link.size()) + link;
    const std::vector<std::pair<const char*, std::string>> malformed = {
        {"nothing", ""},
        {"wrong magic", "XBL1" + one.substr(4)},
        {"no links", "NBL1" + bigEndian(0)},
        {"too many links", "NBL1" + bigEndian(17) + one.substr(8)},
        {"empty link", "NBL1" + bigEndian(1) + bigEndian(0)},
        {"link too long", "NBL1" + bigEndian(1) + bigEndian(4097) + std::string(4097, 'a')},
        {"length beyond the message", "NBL1" + bigEndian(1) + bigEndian(0xFFFFFFFF) + link},
        {"truncated", one.substr(0, one.size() - 3)},
        {"trailing bytes", one + "extra"},
        {"not UTF-8", "NBL1" + bigEndian(1) + bigEndian(4) + "a\xc3\x28z"},
        {"NUL inside", "NBL1" + bigEndian(1) + bigEndian(3) + std::string("a\0b", 3)},
        {"oversized stream", "NBL1" + bigEndian(16) + std::string(200 * 1024, 'z')},
        {"empty command", "NBC1" + bigEndian(0)},
        {"command not in lower case letters", "NBC1" + bigEndian(4) + "Quit"},
        {"command too long", "NBC1" + bigEndian(33) + std::string(33, 'q')},
        {"command with trailing bytes", "NBC1" + bigEndian(4) + "quitquit"},
    };

    for (const auto& [name, bytes] : malformed) {
        EXPECT_FALSE(fromAnotherProcessLikeThread([&] { return sendRaw(socket, bytes); })) << name;
    }
    EXPECT_TRUE(received.empty());

    EXPECT_TRUE(fromAnotherProcessLikeThread([&] { return sendRaw(socket, one); }));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_THAT(received[0], ElementsAre(link));
}

TEST_F(InstanceRegistryTest, CommandsReachTheHolderAndOnlyWellFormedOnes) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    std::vector<handover::Message> received;
    holder.setHandOverHandler([&](const handover::Message& message) {
        received.push_back(message);
        return message.command == "quit";
    });
    const bool taken = fromAnotherProcessLikeThread([&] {
        InstanceRegistry copy(socket);
        copy.claim();
        EXPECT_FALSE(copy.handOver({{}, "Quit"})) << "not sent at all";
        EXPECT_FALSE(copy.handOver({{"nubrio://connect"}, "quit"})) << "links or a command, never both";
        EXPECT_FALSE(copy.handOver({{}, "restart"})) << "sent, but the holder did not take it";
        return copy.handOver({{}, "quit"});
    });
    EXPECT_TRUE(taken);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].command, "restart");
    EXPECT_EQ(received[1], (handover::Message{{}, "quit"}));
}

// Eight idle clients take every slot of the holder: a hand-over meanwhile is told the holder is busy,
// and asked again until their deadline frees a slot, instead of being taken for refused.
TEST_F(InstanceRegistryTest, ABusyHolderSaysSoAndTheHandOverIsTriedAgainUntilASlotFrees) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    std::vector<std::string> received;
    holder.setHandOverHandler([&](const handover::Message& message) {
        received.push_back(message.command);
        return true;
    });
    std::vector<int> idle;
    for (std::size_t i = 0; i < InstanceRegistry::kMaxClients; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, socket.c_str());
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        idle.push_back(fd);
    }
    for (int i = 0; i < 50; ++i) QCoreApplication::processEvents();

    nubrio::linux_platform::instance_socket::Delivery outcome{};
    const bool taken = fromAnotherProcessLikeThread([&] {
        InstanceRegistry copy(socket);
        copy.claim();
        return copy.handOver({{}, "about"}, &outcome);
    });
    EXPECT_TRUE(taken);
    EXPECT_EQ(outcome, nubrio::linux_platform::instance_socket::Delivery::Taken);
    EXPECT_THAT(received, ElementsAre("about"));
    for (int fd : idle) close(fd);
}

// A holder that stays busy (its slots kept taken): the hand-over gives up after its bound and says so.
TEST_F(InstanceRegistryTest, AHandOverToAHolderThatStaysBusyFailsAfterItsBoundAndSaysWhy) {
    // The copy sees a live holder first; then a stand-in that answers every connection "busy".
    std::optional<InstanceRegistry> copy;
    {
        InstanceRegistry holder(socket);
        ASSERT_EQ(holder.claim(), State::Holder);
        copy.emplace(socket);
        ASSERT_EQ(copy->claim(), State::OtherCopy);
    }
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 16), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> attempts{0};
    std::thread busy([&] {
        while (!stop) {
            pollfd waiting{listener, POLLIN, 0};
            if (poll(&waiting, 1, 50) != 1) continue;
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            ++attempts;
            send(client, &handover::kBusy, 1, MSG_NOSIGNAL);
            close(client);
        }
    });
    const auto started = std::chrono::steady_clock::now();
    nubrio::linux_platform::instance_socket::Delivery outcome{};
    EXPECT_FALSE(copy->handOver({{}, "about"}, &outcome));
    const auto took = std::chrono::steady_clock::now() - started;
    stop = true;
    busy.join();
    close(listener);
    EXPECT_EQ(outcome, nubrio::linux_platform::instance_socket::Delivery::Busy);
    EXPECT_GT(attempts.load(), 1) << "asked again";
    EXPECT_GE(took, InstanceRegistry::kBusyPatience);
    EXPECT_LT(took, InstanceRegistry::kBusyPatience + kDeadline);
}

// A runtime folder we may not write (0500) cannot take the socket: every copy passes it over for the
// next private folder, instead of running without a socket as a second copy.
TEST_F(InstanceRegistryTest, AnUnwritableRuntimeFolderIsPassedOverForTheNext) {
    nubrio::testing::TempHome scratch;
    Candidates candidates{scratch.path()};
    makeFolder(*candidates.folders.xdgRuntimeDir, 0500);
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && !nubrio::testing::dropFilePermissionOverrides()) _exit(2);
        const std::optional<fs::path> folder = nubrio::linux_platform::runtimeFolder(candidates.folders, "app.nubrio.desktop");
        const std::string text = folder ? folder->string() : "none";
        [[maybe_unused]] ssize_t ignored = write(result[1], text.data(), text.size());
        _exit(0);
    }
    close(result[1]);
    std::string chosen;
    char chunk[512];
    for (ssize_t n; (n = read(result[0], chunk, sizeof chunk)) > 0;) chosen.append(chunk, static_cast<std::size_t>(n));
    close(result[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not drop its privileges";
    EXPECT_EQ(chosen, candidates.folders.cacheFolder.string());
}

// A copy started as a separate process (helpers/registry_claimer), claiming the socket at once.
class Claimer {
public:
    explicit Claimer(const fs::path& socket) { pid_ = spawnHelper("registry_claimer", socket, &stdin_, &stdout_); }
    void claim() { EXPECT_EQ(write(stdin_, "g", 1), 1); }
    // What it found; it keeps its claim until ended.
    std::string state() {
        char line[32] = {};
        pollfd waiting{stdout_, POLLIN, 0};
        if (poll(&waiting, 1, 30000) != 1 || read(stdout_, line, sizeof line - 1) <= 0) return "no answer";
        std::string text(line);
        return text.substr(0, text.find('\n'));
    }
    ~Claimer() {
        close(stdin_);
        close(stdout_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1, stdout_ = -1;
};

TEST_F(InstanceRegistryTest, CopiesStartedTogetherOverAStaleSocketLeaveOneHolderEvenWithoutTheLockFile) {
    // The lock file's path is taken by a folder: the claim falls back to locking the runtime folder.
    fs::create_directory(socket.string() + ".lock");
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        leaveStaleSocket(socket);
        std::vector<std::unique_ptr<Claimer>> copies;
        for (int i = 0; i < 6; ++i) copies.push_back(std::make_unique<Claimer>(socket));
        std::this_thread::sleep_for(100ms);  // all started and waiting, then all at once
        for (auto& copy : copies) copy->claim();
        std::vector<std::string> states;
        for (auto& copy : copies) states.push_back(copy->state());
        EXPECT_EQ(std::count(states.begin(), states.end(), "Holder"), 1);
        EXPECT_EQ(std::count(states.begin(), states.end(), "OtherCopy"), 5);
        copies.clear();  // the holder removes its socket as it ends
        ASSERT_FALSE(fs::exists(fs::symlink_status(socket)));
    }
}

TEST_F(InstanceRegistryTest, FloodOfIdleConnectionsIsCappedAndDoesNotLockOutHandOver) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    int handed = 0;
    onLinks(holder, [&](const std::vector<std::string>&) { return ++handed, true; });

    // Idle clients that never send a byte and never close.
    std::vector<int> idle;
    for (int i = 0; i < 200; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, socket.c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            idle.push_back(fd);
        else
            close(fd);
        QCoreApplication::processEvents();
    }
    ASSERT_GT(idle.size(), InstanceRegistry::kMaxClients);

    // Closed by the holder, after saying it is busy when it had no slot.
    auto closedByHolder = [](int fd) {
        char byte;
        ssize_t n;
        while ((n = recv(fd, &byte, 1, MSG_DONTWAIT)) == 1)
            if (byte != handover::kBusy) return false;
        return n == 0;
    };
    for (int i = 0; i < 50; ++i) QCoreApplication::processEvents();
    // Beyond the cap they are closed on arrival (a slow machine only lets more of them time out).
    EXPECT_LE(std::count_if(idle.begin(), idle.end(), [&](int fd) { return !closedByHolder(fd); }),
              static_cast<long>(InstanceRegistry::kMaxClients));
    // The rest when their deadline passes.
    EXPECT_TRUE(spinUntil(
        [&] {
            return std::all_of(idle.begin(), idle.end(), closedByHolder);
        },
        kDeadline));
    for (int fd : idle) close(fd);

    EXPECT_TRUE(fromAnotherProcessLikeThread([&] {
        InstanceRegistry copy(socket);
        copy.claim();
        return copy.handOver(links({"nubrio://connect"}));
    }));
    EXPECT_EQ(handed, 1);
}

// The program started anew in the holder's place (after an upgrade) takes over its listening socket:
// the path never stops answering, a copy that connects meanwhile is served by the new holder, and
// that holder's release removes the file as its own.
TEST_F(InstanceRegistryTest, TheSocketHandedOnIsTakenOverWithItsWaitingClients) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    const ino_t bound = inodeOf(socket);
    // From here the old holder serves no more; exec would leave only the descriptor handed on.
    std::vector<std::string> inFlight;
    const int listener = holder.listenerToHandOn(inFlight);
    ASSERT_GE(listener, 0);
    EXPECT_TRUE(inFlight.empty());
    nubrio::linux_platform::UniqueFd handedOn(::dup(listener));
    ASSERT_EQ(inodeOf(socket), bound);

    // A copy started in between: it finds a live holder and waits for the acknowledgement.
    std::future<bool> early = std::async(std::launch::async, [&] {
        InstanceRegistry copy(socket);
        return copy.claim() == State::OtherCopy && copy.handOver(links({"nubrio://connect?early"}));
    });
    std::this_thread::sleep_for(300ms);

    InstanceRegistry next(socket, std::move(handedOn));
    ASSERT_EQ(next.claim(), State::Holder);
    EXPECT_TRUE(next.tookOver());
    EXPECT_EQ(inodeOf(socket), bound);
    std::vector<std::string> received;
    onLinks(next, [&](const std::vector<std::string>& list) {
        received.insert(received.end(), list.begin(), list.end());
        return true;
    });
    EXPECT_TRUE(spinUntil([&] { return early.wait_for(0s) == std::future_status::ready; }, kDeadline));
    EXPECT_TRUE(early.get());
    EXPECT_THAT(received, ElementsAre("nubrio://connect?early"));

    next.release();
    EXPECT_FALSE(fs::exists(fs::symlink_status(socket)));
}

// A copy's links that came whole while the holder hands its socket on go along with it, and the copy
// hears they were taken; a message that has not come whole is let go unanswered.
TEST_F(InstanceRegistryTest, LinksBeingHandedOverAsTheSocketIsHandedOnGoAlong) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    std::vector<std::vector<std::string>> served;
    onLinks(holder, [&](const std::vector<std::string>& list) {
        served.push_back(list);
        return true;
    });
    const auto connected = [&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, socket.c_str());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    };
    const std::string whole = *handover::encode(links({"nubrio://connect?in-flight"}));
    const std::string other = *handover::encode(links({"nubrio://connect?half"}));
    // Each sends part of its message, which the holder reads; then one sends the rest.
    const int finishing = connected(), halfway = connected();
    ASSERT_EQ(send(finishing, whole.data(), 3, MSG_NOSIGNAL), 3);
    ASSERT_EQ(send(halfway, other.data(), 3, MSG_NOSIGNAL), 3);
    nubrio::testing::spinFor(300ms);
    ASSERT_EQ(send(finishing, whole.data() + 3, whole.size() - 3, MSG_NOSIGNAL), static_cast<ssize_t>(whole.size() - 3));
    std::this_thread::sleep_for(100ms);  // arrived, and not read: the event loop has not run since

    std::vector<std::string> inFlight;
    EXPECT_GE(holder.listenerToHandOn(inFlight), 0);
    EXPECT_THAT(inFlight, ElementsAre("nubrio://connect?in-flight"));
    EXPECT_TRUE(served.empty());
    char byte = 0;
    pollfd answer{finishing, POLLIN, 0};
    EXPECT_EQ(poll(&answer, 1, 5000), 1);
    EXPECT_EQ(recv(finishing, &byte, 1, 0), 1) << "acknowledged as taken";
    pollfd none{halfway, POLLIN, 0};
    EXPECT_EQ(poll(&none, 1, 5000), 1);
    EXPECT_EQ(recv(halfway, &byte, 1, 0), 0) << "closed unanswered";
    close(finishing);
    close(halfway);
}

// A descriptor handed on that is not the socket at the path (another socket, one bound elsewhere)
// is not taken: the claim goes on as ever.
TEST_F(InstanceRegistryTest, ASocketHandedOnThatIsNotTheOneAtThePathIsNotTakenOver) {
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    const int elsewhere = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, (runtime / "elsewhere").c_str());
    ASSERT_EQ(bind(elsewhere, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(elsewhere, 4), 0);

    InstanceRegistry copy(socket, nubrio::linux_platform::UniqueFd(elsewhere));
    EXPECT_EQ(copy.claim(), State::OtherCopy);
    EXPECT_FALSE(copy.tookOver());
    EXPECT_EQ(fcntl(elsewhere, F_GETFD), -1) << "closed, not kept";

    InstanceRegistry unbound(socket, nubrio::linux_platform::UniqueFd(::socket(AF_UNIX, SOCK_STREAM, 0)));
    EXPECT_EQ(unbound.claim(), State::OtherCopy);
    EXPECT_FALSE(unbound.tookOver());
}

// Only the holder of the socket at the path hands one on.
TEST_F(InstanceRegistryTest, NoSocketIsHandedOnButTheHoldersOwn) {
    std::vector<std::string> links;
    InstanceRegistry copy(socket);
    EXPECT_EQ(copy.listenerToHandOn(links), -1) << "not claimed";
    InstanceRegistry holder(socket);
    ASSERT_EQ(holder.claim(), State::Holder);
    ASSERT_EQ(copy.claim(), State::OtherCopy);
    EXPECT_EQ(copy.listenerToHandOn(links), -1);

    fs::remove(socket);  // another copy took the path over while the holder was frozen
    SocketHolder other(socket);
    ASSERT_TRUE(other.ready());
    EXPECT_EQ(holder.listenerToHandOn(links), -1);
}

}  // namespace
